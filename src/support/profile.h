// The reader of language files (INI files), with the rules of the Windows profile-string
// reader, used on both platforms: sections and keys matched without regard to case; UTF-16LE
// after the mark FF FE, else 8-bit text; values trimmed, one pair of enclosing quotes removed,
// cut at 511 units; the caller's default for a missing file, section or key.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/file.h"

namespace tervane {

inline constexpr std::size_t kProfileValueMax = 511;

// Decodes a file's bytes to UTF-16 text: UTF-16LE after FF FE, UTF-8 after EF BB BF, else the
// 8-bit system text.
std::u16string DecodeProfileText(std::span<const std::uint8_t> bytes);

// The value of key in section of an already decoded text, or nothing when either is missing.
// Only the first section of that name is read, and in it the first line of that key.
std::optional<std::u16string> FindProfileValue(std::u16string_view text, std::u16string_view section,
                                               std::u16string_view key);
// The same value whole, however long, for a reader that refuses what it cannot hold instead
// of cutting it.
std::optional<std::u16string> FindWholeProfileValue(std::u16string_view text, std::u16string_view section,
                                                    std::u16string_view key);

// Every line's value of key in the first section of that name, whole, in file order (a key an
// option may be given on several lines for).
std::vector<std::u16string> FindAllProfileValues(std::u16string_view text, std::u16string_view section,
                                                 std::u16string_view key);

// The keys of the first section of that name (the one values are read from), trimmed, in file
// order (a key given twice is listed twice).
std::vector<std::u16string> ListProfileKeys(std::u16string_view text, std::u16string_view section);

// Whether two section or key names are the same to the reader: blanks at the ends left out,
// ASCII letters without regard to case, other characters as they are.
bool SameProfileName(std::u16string_view a, std::u16string_view b);

// The names of the sections, trimmed, in file order (a name given twice is listed twice; only
// the first of them is read).
std::vector<std::u16string> ListProfileSections(std::u16string_view text);

std::u16string ReadProfileString(const Path& file, std::u16string_view section,
                                 std::u16string_view key, std::u16string_view defaultValue);

// The "LanguageID" value (already in 8-bit text and lower case): "0x" and up to four hex
// digits read as two bytes high first, or an integer of the usual syntax; 0 when unreadable.
std::uint16_t ParseLanguageID(std::string_view text);

}  // namespace tervane
