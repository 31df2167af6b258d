#include <gtest/gtest.h>

#include <map>

#include "test_support.h"
#include "ui/language.h"
#include "ui/memory_list_view.h"
#include "ui/main_logic.h"

namespace tervane {
namespace {

using testing::TempDir;
using testing::Utf16File;

// The windows' texts by group and key; a key it was never given is a control it lacks.
class FakeWindows : public ILanguageTarget {
 public:
  std::map<std::pair<LanguageKeyGroup, std::u16string>, std::u16string> texts;
  std::optional<std::u16string> Text(LanguageKeyGroup g, const std::u16string& key) override {
    auto it = texts.find({g, key});
    if (it == texts.end()) return std::nullopt;
    return it->second;
  }
  void SetText(LanguageKeyGroup g, const std::u16string& key, const std::u16string& text) override {
    texts[{g, key}] = text;
  }
  std::u16string Get(LanguageKeyGroup g, const std::u16string& key) { return texts[{g, key}]; }
};

class LanguageTest : public ::testing::Test {
 protected:
  LanguageTest() {
    std::filesystem::create_directories(dir.path() / "Languages");
    for (const auto& k : ApplyLanguageKeys())
      if (k.group != LanguageKeyGroup::MessageText) windows.texts[{k.group, k.key}] = u"builtin " + k.key;
  }
  Path Folder() { return dir.Dir() + u"Languages" + PathSeparator(); }
  void Write(const std::u16string& name, std::u16string_view text) {
    testing::WriteBytes(Folder() + name, Utf16File(text));
  }
  ServerEntry& Add(bool paused, int priority) {
    auto e = std::make_unique<Server>(NewServerEntry());
    e->Paused = paused;
    e->Priority = static_cast<std::uint8_t>(priority);
    list.push_back(std::move(e));
    rows.OnChange(ServerChange{ServerChange::What::Added, list.size() - 1, 0, 0, {}});
    return *list.back();
  }

  TempDir dir;
  MessageTexts texts;
  ServerEditorState editor{4};
  FakeWindows windows;
  MemoryListView view;
  ServerList list;
  ListRows rows{list, texts, view};
  LanguageContext context{texts, editor, windows, rows};
};

const char16_t kChinese[] =
    u"[Language]\r\nLanguageID=0x0804\r\n[KESP]\r\nMenu_Caption=\u7B80\u4F53\u4E2D\u6587\r\n"
    u"PausedMonitor=\u6682\u505C\u76D1\u89C6\r\nNormal=\u6B63\u5E38\r\nMsgTextDelServer=\u5220\u9664 \"%s\"?\r\n"
    u"cbbPriority.Items[2]=\u5B9E\u65F6\r\nbtnOK.Caption=\u786E\u5B9A(&O)\r\n"
    u"btnProcessAffinity.Caption=\u5904\u7406\u5668(&A)\r\nmenuPauseServer.Caption=\u6682\u505C(&P)\r\n"
    u"LV.Column[0].Caption=\u540D\u79F0\r\n";

TEST_F(LanguageTest, ScanReadsIdsAndCaptions) {
  Write(u"zh.ini", kChinese);
  Write(u"bad.ini", u"[KESP]\r\nNormal=x\r\n");
  testing::WriteBytes(Folder() + u"en.ini", {'[', 'L', 'a', 'n', 'g', 'u', 'a', 'g', 'e', ']', '\n',
                                            'L', 'a', 'n', 'g', 'u', 'a', 'g', 'e', 'I', 'D', '=', '1', '0', '3', '3', '\n'});
  testing::WriteBytes(Folder() + u"notes.txt", {'x'});
  std::filesystem::create_directories(dir.path() / "Languages" / "folder.ini");
  LanguageMenu menu(Folder());
  EXPECT_TRUE(menu.ShowsPlaceholder());
  menu.Scan();
  ASSERT_EQ(menu.Entries().size(), 3u) << "only plain *.ini files";
  EXPECT_FALSE(menu.ShowsPlaceholder());
  std::map<std::u16string, TLangMenuItem> byFile;
  for (const auto& e : menu.Entries()) byFile[e.LanguageFile] = e;
  EXPECT_EQ(byFile[u"zh.ini"].LanguageID, 0x0804);
  EXPECT_EQ(byFile[u"zh.ini"].Caption, u"\u7B80\u4F53\u4E2D\u6587");
  EXPECT_EQ(byFile[u"en.ini"].LanguageID, 0x0409);
  EXPECT_EQ(byFile[u"bad.ini"].LanguageID, 0) << "a missing id is 0";
  EXPECT_EQ(byFile[u"bad.ini"].Caption, u"(Not Define)");
}

TEST_F(LanguageTest, StartupChoiceExactThenPrimary) {
  LanguageMenu menu(Folder());
  Write(u"a.ini", u"[Language]\nLanguageID=0x0404\n");
  Write(u"b.ini", u"[Language]\nLanguageID=0x0804\n");
  Write(u"c.ini", u"[Language]\nLanguageID=0x0C04\n");
  Write(u"d.ini", u"[Language]\nLanguageID=2052\n");
  menu.AddLanguageMenuItem(u"a.ini");
  menu.AddLanguageMenuItem(u"b.ini");
  EXPECT_EQ(menu.ChooseFor(0x0804), 1);
  menu.AddLanguageMenuItem(u"d.ini");
  EXPECT_EQ(menu.ChooseFor(0x0804), 2) << "a later exact match wins";
  LanguageMenu partial(Folder());
  partial.AddLanguageMenuItem(u"a.ini");
  partial.AddLanguageMenuItem(u"c.ini");
  EXPECT_EQ(partial.ChooseFor(0x0804), 0) << "the first of the same primary language";
  EXPECT_EQ(partial.ChooseFor(0x0409), -1) << "none: the built-in texts stay";
}

TEST_F(LanguageTest, ApplyReplacesTextsDialogsMenusAndPausedRows) {
  Write(u"zh.ini", kChinese);
  Add(true, 2);
  Add(false, 2);
  list[1]->Status.process = ProcessState::Running;
  rows.OnChange(ServerChange{ServerChange::What::State, 1, 0, 0, {}});
  ASSERT_EQ(view.Cell(1, ColProcessStatus), u"Normal");
  LanguageMenu menu(Folder());
  menu.Scan();
  ASSERT_TRUE(LanguageMenuItemClick(menu, 0, context));
  EXPECT_EQ(texts.Get(Msg::PausedMonitor), u"\u6682\u505C\u76D1\u89C6");
  EXPECT_EQ(texts.Get(Msg::Lost), u"Lost (%d/%d)") << "a key the file lacks keeps its text";
  EXPECT_EQ(texts.PriorityName(2), u"\u5B9E\u65F6");
  EXPECT_EQ(windows.Get(LanguageKeyGroup::EditorDialog, u"btnOK.Caption"), u"\u786E\u5B9A(&O)");
  EXPECT_EQ(windows.Get(LanguageKeyGroup::BossKeyDialog, u"btnOK.Caption"), u"\u786E\u5B9A(&O)")
      << "one entry sets both dialogs' OK buttons";
  EXPECT_EQ(windows.Get(LanguageKeyGroup::EditorDialog, u"btnProcessAffinity.Caption"),
            u"\u5904\u7406\u5668(&A) \u00BB");
  EXPECT_EQ(windows.Get(LanguageKeyGroup::MainWindow, u"menuPauseServer.Caption"), u"\u6682\u505C(&P)");
  EXPECT_EQ(windows.Get(LanguageKeyGroup::MainWindow, u"LV.Column[0].Caption"), u"\u540D\u79F0");
  EXPECT_EQ(windows.Get(LanguageKeyGroup::MainWindow, u"menuExit.Caption"), u"builtin menuExit.Caption");
  EXPECT_EQ(view.Cell(0, ColProcessStatus), u"\u6682\u505C\u76D1\u89C6") << "a paused row switches at once";
  EXPECT_EQ(view.Cell(0, ColNetworkStatus), u"\u6682\u505C\u76D1\u89C6");
  EXPECT_EQ(view.Cell(1, ColProcessStatus), u"Normal") << "a running row waits for its next event";
  EXPECT_EQ(view.Cell(0, ColPriority), u"\u5B9E\u65F6");
  EXPECT_TRUE(menu.Entries()[0].Checked);
  EXPECT_EQ(menu.CurrentLanguageItem(), 0);
  EXPECT_FALSE(LanguageMenuItemClick(menu, 0, context)) << "the checked entry changes nothing";
}

TEST_F(LanguageTest, SwitchingKeepsTextsTheNextFileLacks) {
  Write(u"a.ini", kChinese);
  Write(u"b.ini", u"[KESP]\r\nNormal=Fine\r\n");
  LanguageMenu menu(Folder());
  menu.AddLanguageMenuItem(u"a.ini");
  menu.AddLanguageMenuItem(u"b.ini");
  LanguageMenuItemClick(menu, 0, context);
  LanguageMenuItemClick(menu, 1, context);
  EXPECT_EQ(texts.Get(Msg::MsgTextDelServer), u"\u5220\u9664 \"%s\"?");
  EXPECT_EQ(texts.Get(Msg::Normal), u"Fine");
  EXPECT_FALSE(menu.Entries()[0].Checked);
  EXPECT_TRUE(menu.Entries()[1].Checked);
  // A file removed after the scan: every lookup keeps its default.
  std::filesystem::remove(dir.path() / "Languages" / "a.ini");
  LanguageMenuItemClick(menu, 0, context);
  EXPECT_EQ(texts.Get(Msg::Normal), u"Fine");
}

TEST_F(LanguageTest, AffinityCaptionKeepsTheMarkerOfTheGroupState) {
  Write(u"zh.ini", kChinese);
  LanguageMenu menu(Folder());
  menu.Scan();
  editor.btnProcessAffinityClick();  // shown
  LanguageMenuItemClick(menu, 0, context);
  EXPECT_EQ(windows.Get(LanguageKeyGroup::EditorDialog, u"btnProcessAffinity.Caption"),
            u"\u00AB \u5904\u7406\u5668(&A)");
}

}  // namespace
}  // namespace tervane
