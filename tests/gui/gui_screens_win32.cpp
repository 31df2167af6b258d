// Sets the scene for the documentation's screenshots: kesp.exe with a few stand-in servers on
// 127.0.0.1 and its language files, then the main window, the editor without and with the
// affinity group, the about box, the boss-key dialog and the main window in Chinese, one after
// the other. For each it writes "<folder>\<name>.rect" with the window's
// screen rectangle ("x y width height") and waits until "<folder>\<name>.done" appears, which
// the screenshot script writes once it has taken the picture.
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <algorithm>

#include "gui_driver_win32.h"
#include <commctrl.h>
#include "support/file.h"
#include "support/text.h"
#include "ui/win32/resource_ids.h"

using namespace tervane;
using namespace tervane::gui;
namespace fs = std::filesystem;

namespace {

bool Shot(const fs::path& folder, const char* name, HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  // Let the window finish painting before the picture is taken.
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  std::this_thread::sleep_for(700ms);
  {
    std::ofstream out(folder / (std::string(name) + ".rect.tmp"));
    out << r.left << ' ' << r.top << ' ' << (r.right - r.left) << ' ' << (r.bottom - r.top) << '\n';
  }
  fs::rename(folder / (std::string(name) + ".rect.tmp"), folder / (std::string(name) + ".rect"));
  const bool done = WaitFor([&] { return fs::exists(folder / (std::string(name) + ".done")); }, 120s);
  if (!done) std::fprintf(stderr, "no picture of %s was taken\n", name);
  return done;
}

// The Language menu's command of a file: the menu lists the files in the folder's order.
int LanguageCommand(const Scene& scene, const char16_t* fileName) {
  const auto files = ListFilesWithSuffix(scene.LanguagesDir().u16string() + u"\\", u".ini");
  const auto at = std::find(files.begin(), files.end(), std::u16string(fileName));
  return at == files.end() ? 0 : IDM_LANGUAGE_FIRST + static_cast<int>(at - files.begin());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tervane_gui_screens FOLDER\n");
    return 2;
  }
  const fs::path folder = argv[1];
  // A short folder, so that the pictures show plain paths.
  Scene scene(std::filesystem::path(L"C:\\Servers"));
  struct Demo {
    const char* name;
    const char* extra;
    bool paused;
  };
  const Demo demos[] = {
      {"CS 1.6 Public #1", " -fakesrv.map de_dust2 -fakesrv.players 12 -fakesrv.maxplayers 32", false},
      {"CS 1.6 Public #2", " -fakesrv.map de_inferno -fakesrv.players 27 -fakesrv.maxplayers 32", false},
      {"CS 1.6 Deathmatch", " -fakesrv.map de_aztec -fakesrv.players 8 -fakesrv.maxplayers 20", false},
      {"Half-Life DM", " -game valve -fakesrv.map crossfire -fakesrv.players 5 -fakesrv.maxplayers 16", false},
      {"CS 1.6 Test", "", true},
  };
  for (const Demo& d : demos) {
    ServerEntry& e = scene.AddServer(d.name, d.paused);
    e.Params.assign(e.Params.str() + Utf8ToUtf16(d.extra) + u" -fakesrv.noconsole");
  }
  scene.Servers()[1]->Priority = 1;
  scene.Servers()[2]->Priority = 2;
  scene.SaveList();
  scene.CopyLanguages();
  if (!scene.StartKesp(600)) {
    std::fprintf(stderr, "kesp.exe showed no window\n");
    return 1;
  }
  MainWindow main(scene.MainWindow());
  RemoteListView view = main.View();
  const bool serving = WaitFor(
      [&] {
        for (int row = 0; row < 4; ++row)
          if (view.Cell(row, ColNetworkStatus) != u"Normal") return false;
        return true;
      },
      60s);
  if (!serving) std::fprintf(stderr, "not every server answered\n");
  view.Select({1});
  BringToFront(main.Handle());
  if (!Shot(folder, "main-window", main.Handle())) return 1;

  main.PostCommand(IDM_menuEditServer);
  HWND editor = WaitForDialog(scene.KespProcessId(), L"Edit Server");
  if (!editor || !Shot(folder, "editor", editor)) return 1;
  PostClick(editor, IDC_btnProcessAffinity);
  WaitFor([&] { RECT r{}; GetWindowRect(editor, &r); return r.bottom - r.top == 433; }, 10s);
  if (!Shot(folder, "editor-affinity", editor)) return 1;
  PostClick(editor, IDC_btnProcessAffinity);
  PostClick(editor, IDC_btnCancel);
  WaitDialogGone(editor);

  main.PostCommand(IDM_menuAbout);
  HWND about = WaitForDialog(scene.KespProcessId(), L"About Tervane");
  if (!about || !Shot(folder, "about", about)) return 1;
  PostClick(about, IDC_btnOk);
  WaitDialogGone(about);

  // The boss-key dialog with a key chosen.
  main.PostCommand(IDM_menuBossKey);
  HWND boss = WaitForDialog(scene.KespProcessId(), L"Set Boss Key");
  if (!boss) return 1;
  SendMessageW(GetDlgItem(boss, IDC_cbUseBossKey), BM_CLICK, 0, 0);
  SendMessageW(GetDlgItem(boss, IDC_HotKey1), HKM_SETHOTKEY, MAKEWORD('B', HOTKEYF_CONTROL | HOTKEYF_ALT), 0);
  if (!Shot(folder, "boss-key", boss)) return 1;
  PostClick(boss, IDC_btnCancel);
  WaitDialogGone(boss);

  // The main window in Chinese, once the running servers' rows show the new texts.
  const int chinese = LanguageCommand(scene, u"SimplifiedChinese.ini");
  if (chinese == 0 || !main.Command(chinese)) {
    std::fprintf(stderr, "no Chinese language file\n");
    return 1;
  }
  WaitFor(
      [&] {
        for (int row = 0; row < 4; ++row)
          if (view.Cell(row, ColProcessStatus) != u"\u6B63\u5E38") return false;  // 正常
        return main.StatusText() == u"\u7F51\u7EDC\u72B6\u6001\u81EA\u68C0\uFF1A\u6B63\u5E38";
      },
      30s);
  view.Select({1});
  BringToFront(main.Handle());
  if (!Shot(folder, "main-window-zh", main.Handle())) return 1;

  main.PostCommand(IDM_menuExit);
  scene.WaitKespExit(10s);
  return 0;
}
