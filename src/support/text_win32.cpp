#include <windows.h>

#include "support/text.h"
#include "support/text_win32.h"

namespace tervane {

std::string ToSystem8(std::u16string_view text) {
  if (text.empty()) return {};
  const wchar_t* wide = W(text.data());
  int n = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::u16string FromSystem8(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                      W(out.data()), n);
  return out;
}

std::u16string LowerCase(std::u16string_view text) {
  std::u16string out(text);
  if (!out.empty())
    CharLowerBuffW(W(out.data()), static_cast<DWORD>(out.size()));
  return out;
}

std::u16string SystemErrorText(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text;
  if (n > 0 && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), n);
  if (buffer) LocalFree(buffer);
  // The system's text ends with a full stop and a line break; the log line has its own end.
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ' || text.back() == u'.'))
    text.pop_back();
  if (text.empty()) text = u"Error";
  return text + u" (" + ToU16(static_cast<int>(code)) + u")";
}

}  // namespace tervane
