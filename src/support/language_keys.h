// The language files: their two sections, and every key that applying a language reads,
// in the order it reads them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tervane {

inline constexpr std::u16string_view kLanguageSection = u"Language";
inline constexpr std::u16string_view kLanguageIDKey = u"LanguageID";
inline constexpr std::u16string_view kTextSection = u"KESP";
inline constexpr std::u16string_view kMenuCaptionKey = u"Menu_Caption";
inline constexpr std::u16string_view kMenuCaptionDefault = u"(Not Define)";
inline constexpr std::u16string_view kAddServerCaptionKey = u"frmAddServer.Caption";
inline constexpr std::u16string_view kEditServerCaptionKey = u"frmEditServer.Caption";

enum class LanguageKeyGroup { MessageText, EditorDialog, BossKeyDialog, MainWindow };

struct LanguageKey {
  LanguageKeyGroup group;
  std::u16string key;
};

// The 111 keys of applying a language, in order: the 25 message texts, the editor dialog's
// 46, the boss-key dialog's 4, the main window's 36 (menu items, then the list columns).
const std::vector<LanguageKey>& ApplyLanguageKeys();

// Every distinct key of section "KESP" that the program reads (112).
std::vector<std::u16string> AllLanguageKeys();

}  // namespace tervane
