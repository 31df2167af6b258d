// The Windows half of the HTTP client: WinHTTP (part of Windows), one session per request, no
// redirects, the whole exchange bounded by the call's time-out.
#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "observe/http_client.h"
#include "support/text.h"

namespace tervane {
namespace {

std::wstring Wide(const std::string& utf8) {
  const std::u16string u = Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

std::string LastError(const char* what) { return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")"; }

struct Handle {
  HINTERNET h = nullptr;
  ~Handle() {
    if (h) WinHttpCloseHandle(h);
  }
};

}  // namespace

bool HttpClientReady(std::string&) { return true; }

HttpCallResult SendHttp(const HttpCall& call) {
  HttpCallResult result;
  const std::wstring url = Wide(call.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
    result.error = LastError("WinHttpCrackUrl");
    return result;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  Handle session{WinHttpOpen(L"Tervane", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
  if (!session.h) {
    result.error = LastError("WinHttpOpen");
    return result;
  }
  const int t = call.timeoutMs;
  WinHttpSetTimeouts(session.h, t, t, t, t);
  Handle connection{WinHttpConnect(session.h, host.c_str(), parts.nPort, 0)};
  if (!connection.h) {
    result.error = LastError("WinHttpConnect");
    return result;
  }
  const std::wstring method = Wide(call.method);
  Handle request{WinHttpOpenRequest(connection.h, method.c_str(), path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                    WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)};
  if (!request.h) {
    result.error = LastError("WinHttpOpenRequest");
    return result;
  }
  DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
  WinHttpSetOption(request.h, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
  std::wstring headers;
  if (!call.contentType.empty()) headers += L"Content-Type: " + Wide(call.contentType) + L"\r\n";
  if (!call.authorization.empty()) headers += L"Authorization: " + Wide(call.authorization) + L"\r\n";
  const DWORD size = static_cast<DWORD>(call.body.size());
  if (!WinHttpSendRequest(request.h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          headers.empty() ? 0 : static_cast<DWORD>(-1),
                          size ? const_cast<char*>(call.body.data()) : WINHTTP_NO_REQUEST_DATA, size, size, 0) ||
      !WinHttpReceiveResponse(request.h, nullptr)) {
    result.error = LastError("WinHTTP request");
    return result;
  }
  DWORD status = 0;
  DWORD statusSize = sizeof status;
  if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
    result.error = LastError("WinHttpQueryHeaders");
    return result;
  }
  result.status = static_cast<int>(status);
  std::vector<char> buffer(8192);
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(request.h, buffer.data(), static_cast<DWORD>(buffer.size()), &read) || read == 0) break;
    if (result.body.size() + read > kHttpAnswerLimit) break;
    result.body.append(buffer.data(), read);
  }
  return result;
}

}  // namespace tervane
