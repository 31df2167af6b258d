// The Windows half of the HTTP client: WinHTTP (part of Windows), one session per request, no
// redirects, the whole exchange bounded by the call's time-out. winhttp.dll is loaded on first
// use, so that kesp.exe without WebhookUrl never loads it.
#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "observe/http_client.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "support/unique_handle.h"

namespace tervane {
namespace {

std::wstring Wide(const std::string& utf8) { return W(Utf8ToUtf16(utf8)); }

std::string LastError(const char* what) { return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")"; }

// WinHTTP's functions, from winhttp.dll loaded once.
#define TERVANE_WINHTTP_FUNCTIONS(X)                                                                        \
  X(WinHttpCrackUrl) X(WinHttpOpen) X(WinHttpSetTimeouts) X(WinHttpConnect) X(WinHttpOpenRequest)         \
  X(WinHttpSetOption) X(WinHttpSendRequest) X(WinHttpReceiveResponse) X(WinHttpQueryHeaders) X(WinHttpReadData) \
  X(WinHttpCloseHandle)

struct WinHttp {
#define TERVANE_DECLARE(name) decltype(&::name) name = nullptr;
  TERVANE_WINHTTP_FUNCTIONS(TERVANE_DECLARE)
#undef TERVANE_DECLARE
  bool loaded = false;
};

const WinHttp& Api() {
  static const WinHttp api = [] {
    WinHttp a;
    const HMODULE dll = LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dll) return a;
    a.loaded = true;
#define TERVANE_LOAD(name)                                                                                    \
  a.name = reinterpret_cast<decltype(a.name)>(reinterpret_cast<void*>(GetProcAddress(dll, #name)));          \
  a.loaded = a.loaded && a.name != nullptr;
    TERVANE_WINHTTP_FUNCTIONS(TERVANE_LOAD)
#undef TERVANE_LOAD
    return a;
  }();
  return api;
}

struct WinHttpTraits {
  using Value = HINTERNET;
  static HINTERNET None() { return nullptr; }
  static bool IsValid(HINTERNET h) { return h != nullptr; }
  static void Close(HINTERNET h) { Api().WinHttpCloseHandle(h); }
};
using Handle = UniqueHandle<WinHttpTraits>;

}  // namespace

bool HttpClientReady(std::string& why) {
  why = Api().loaded ? "" : "winhttp.dll could not be loaded";
  return Api().loaded;
}

HttpCallResult SendHttp(const HttpCall& call) {
  HttpCallResult result;
  if (!HttpClientReady(result.error)) return result;
  const WinHttp& api = Api();
  const std::wstring url = Wide(call.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!api.WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
    result.error = LastError("WinHttpCrackUrl");
    return result;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  const Handle session(api.WinHttpOpen(L"Tervane", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    result.error = LastError("WinHttpOpen");
    return result;
  }
  const int t = call.timeoutMs;
  api.WinHttpSetTimeouts(session.get(), t, t, t, t);
  const Handle connection(api.WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) {
    result.error = LastError("WinHttpConnect");
    return result;
  }
  const std::wstring method = Wide(call.method);
  const Handle request(api.WinHttpOpenRequest(connection.get(), method.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  if (!request) {
    result.error = LastError("WinHttpOpenRequest");
    return result;
  }
  DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
  api.WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
  std::wstring headers;
  if (!call.contentType.empty()) headers += L"Content-Type: " + Wide(call.contentType) + L"\r\n";
  if (!call.authorization.empty()) headers += L"Authorization: " + Wide(call.authorization) + L"\r\n";
  const DWORD size = static_cast<DWORD>(call.body.size());
  if (!api.WinHttpSendRequest(request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          headers.empty() ? 0 : static_cast<DWORD>(-1),
                          size ? const_cast<char*>(call.body.data()) : WINHTTP_NO_REQUEST_DATA, size, size, 0) ||
      !api.WinHttpReceiveResponse(request.get(), nullptr)) {
    result.error = LastError("WinHTTP request");
    return result;
  }
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (!api.WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
    result.error = LastError("WinHttpQueryHeaders");
    return result;
  }
  result.status = static_cast<int>(status);
  std::vector<char> buffer(8192);
  for (;;) {
    DWORD read = 0;
    if (!api.WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read) || read == 0) break;
    if (result.body.size() + read > kHttpAnswerLimit) break;
    result.body.append(buffer.data(), read);
  }
  return result;
}

}  // namespace tervane
