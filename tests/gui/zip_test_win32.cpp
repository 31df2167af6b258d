// The portable zip as people use it: CPack's zip of this build unpacked into an empty folder
// (the fixture tervane_zip_unpack, which also checks what the zip holds), and kesp.exe started
// from there under Wine: it shows its window and keeps the list it saves beside itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "gui_driver_win32.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "ui/win32/resource_ids.h"

namespace tervane::gui {
namespace {

namespace fs = std::filesystem;

TEST(KespZip, RunsFromTheUnpackedFolderAndKeepsItsListBesideItself) {
  Scene scene(TERVANE_ZIP_FOLDER, /*copyProgram=*/false);
  ASSERT_TRUE(fs::exists(scene.Dir() / "kesp.exe") && !fs::exists(scene.ListPath())) << "the zip, unpacked";
  ASSERT_TRUE(scene.StartKesp()) << "no main window \"Tervane v2.3\"";

  MainWindow main(scene.MainWindow());
  main.PostCommand(IDM_menuNewServer);
  HWND editor = WaitForDialog(scene.KespProcessId(), L"New Server for Monitor");
  ASSERT_NE(editor, nullptr);
  for (const auto& [id, text] : {std::pair{IDC_edtFileName, scene.SpareExecutable("Alpha").u16string()},
                                 std::pair{IDC_edtParams, u"+ip 127.0.0.1 -port " + ToU16(FreeUdpPort())}})
    SendMessageW(GetDlgItem(editor, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(W(text)));
  PostClick(editor, IDC_btnOK);
  ASSERT_TRUE(WaitDialogGone(editor));

  EXPECT_TRUE(WaitFor([&] { return scene.ReadList().size() == 1; }, 10s)) << "serverlist.dat beside kesp.exe";
  EXPECT_TRUE(WaitFor([&] { return main.View().Cell(0, ColProcessStatus) == u"Normal"; }, 30s));
  EXPECT_TRUE(fs::exists(scene.Dir() / "logs")) << "the log beside kesp.exe";
}

}  // namespace
}  // namespace tervane::gui
