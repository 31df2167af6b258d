// Text helpers shared by every layer: UTF-16 is the program's text, 8-bit text is the
// system code page on Windows and UTF-8 on Linux.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tervane {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// 8-bit text of the system code page (Windows) or UTF-8 (Linux).
std::string ToSystem8(std::u16string_view text);
std::u16string FromSystem8(std::string_view text);

// The platform's Unicode lower-casing, one code unit at a time (the length never changes).
std::u16string LowerCase(std::u16string_view text);

// Upper-cases the ASCII letters only.
std::string UpperAscii(std::string_view text);
std::u16string UpperAscii16(std::u16string_view text);

// Removes every character whose code is below 33 (blank and control characters) at both ends.
std::u16string Strip(std::u16string_view text);
std::string Strip8(std::string_view text);

bool EqualsIgnoreCaseAscii(std::u16string_view a, std::u16string_view b);

std::u16string ToU16(int value);

// The system's own words for one of its error codes (errno, or GetLastError on Windows), with
// the number: "Permission denied (13)".
std::u16string SystemErrorText(std::uint32_t code);

// printf-style formatting of the message texts, safe for any format string a language file
// may bring: "%d" takes the next integer, "%s" the next text, "%%" is a percent sign; a
// conversion without a matching argument gives nothing and any other sequence is kept as it is.
using FormatArg = std::variant<long long, std::u16string_view>;
std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args);

}  // namespace tervane

namespace tervane {

// The integer syntax of the run parameters and language files: leading blanks, one optional
// sign, then decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or "0X"; nothing
// may follow. Decimal values must fit a signed 32-bit integer; up to eight significant
// hexadecimal digits are taken as a 32-bit pattern ("$FFFFFFFF" is -1).
std::optional<std::int32_t> ParseInt32(std::string_view text);

}  // namespace tervane
