// The portable UTF-16 text at the Win32 edge. wchar_t is 16 bits on Windows, so the text
// passes to and from the wide calls as it is: these are the program's only conversions
// between char16_t and wchar_t.
#pragma once

#include <string>
#include <string_view>

namespace tervane {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the Win32 edge passes UTF-16 as it is");

inline const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* W(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const wchar_t* W(const std::u16string& text) { return W(text.c_str()); }
inline wchar_t* W(std::u16string& text) { return W(text.data()); }

inline std::u16string U(std::wstring_view text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}
// A null pointer is the empty text.
inline std::u16string U(const wchar_t* text) { return text ? U(std::wstring_view(text)) : std::u16string(); }

}  // namespace tervane
