// Language files in Languages/ beside the program: the Language menu's entries, the choice at
// start-up, the switch by clicking an entry, and applying a file's texts to the message texts,
// the dialogs, the main window and the server list's rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/server_list.h"
#include "ui/rows.h"
#include "support/file.h"
#include "support/language_keys.h"
#include "support/message_texts.h"

namespace tervane {

class ServerEditorState;

// The texts of the windows, by language key ("menuPauseServer.Caption", "cbbPriority.Items[1]",
// "LV.Column[3].Caption", "DlgOpen.Filter", "frmSetBosskey.Caption", ...). The group tells
// which window a key belongs to: "btnOK.Caption" of the editor and of the boss-key dialog are
// two controls set by one key.
class ILanguageTarget {
 public:
  virtual ~ILanguageTarget() = default;
  // The control's current text, or nothing when the window has no such control.
  virtual std::optional<std::u16string> Text(LanguageKeyGroup group, const std::u16string& key) = 0;
  virtual void SetText(LanguageKeyGroup group, const std::u16string& key, const std::u16string& text) = 0;
};

// One entry of the Language menu (TLangMenuItem).
struct TLangMenuItem {
  Path LanguageFile;         // the file's name, without folder
  std::uint16_t LanguageID = 0;
  std::u16string Caption;
  bool Checked = false;
};

class LanguageMenu {
 public:
  // languagesFolder: the folder of the language files, with its trailing separator.
  explicit LanguageMenu(Path languagesFolder) : folder_(std::move(languagesFolder)) {}

  // Lists "*.ini" in the folder, in the file system's order, and adds an entry for each.
  void Scan();
  void AddLanguageMenuItem(const Path& fileName);

  // The start-up choice for the user's language: the last exact match, else the first entry of
  // the same primary language (low 10 bits), else none (-1).
  int ChooseFor(std::uint16_t userLanguage) const;

  // A value of section "KESP" (or another section) of a file in the folder.
  std::u16string ReadLangString(std::u16string_view section, std::u16string_view key,
                                const Path& fileName, std::u16string_view defaultValue) const;

  const std::vector<TLangMenuItem>& Entries() const { return entries_; }
  // The placeholder "(&None)" stays only while there is no entry.
  bool ShowsPlaceholder() const { return entries_.empty(); }
  int CurrentLanguageItem() const { return current_; }
  void SetCurrent(int index);
  const Path& Folder() const { return folder_; }

 private:
  Path folder_;
  std::vector<TLangMenuItem> entries_;
  int current_ = -1;
};

// Everything applying a language touches.
struct LanguageContext {
  MessageTexts& texts;
  ServerEditorState& editor;
  ILanguageTarget& windows;
  ShownRows& rows;
};

// Replaces every text from the file, each with the text shown now as its default: the message
// texts, the editor dialog (the priority names with its list), the boss-key dialog, the main
// window's menus and columns, then the rows.
void ApplyLanguage(const LanguageMenu& menu, const Path& fileName, LanguageContext& context);

// Clicking an entry: applies its file unless it is the current one, then checks it.
// Answers whether anything was applied.
bool LanguageMenuItemClick(LanguageMenu& menu, int index, LanguageContext& context);

}  // namespace tervane
