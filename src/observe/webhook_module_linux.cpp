// kesp-webhook.so, the module the Linux program loads when it sends webhooks: libcurl's easy
// interface, one handle per request, no signals (it runs on the sender's thread), no
// redirects, http and https only. libcurl and the libraries it needs (TLS among them) come
// into kesp only with it.
#include <curl/curl.h>

#include "observe/http_client_module.h"

namespace tervane {
namespace {

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const std::size_t n = size * count;
  if (body->size() + n > kHttpAnswerLimit) return 0;  // ends the transfer
  body->append(data, n);
  return n;
}

HttpCallResult Send(const HttpCall& call) {
  static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  HttpCallResult result;
  if (!initialized) {
    result.error = "libcurl could not be initialized";
    return result;
  }
  CURL* curl = curl_easy_init();
  if (!curl) {
    result.error = "libcurl: no handle";
    return result;
  }
  curl_slist* headers = nullptr;
  if (!call.contentType.empty()) headers = curl_slist_append(headers, ("Content-Type: " + call.contentType).c_str());
  if (!call.authorization.empty()) headers = curl_slist_append(headers, ("Authorization: " + call.authorization).c_str());
  headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
  curl_easy_setopt(curl, CURLOPT_URL, call.url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
  if (call.method == "POST" || !call.body.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(call.body.size()));
  }
  if (call.method == "GET") curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(call.timeoutMs));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(call.timeoutMs));
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Tervane");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    result.status = static_cast<int>(status);
  } else {
    result.error = curl_easy_strerror(code);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

}  // namespace
}  // namespace tervane

extern "C" __attribute__((visibility("default"))) void tervane_send_http(const tervane::HttpCall* call,
                                                                         tervane::HttpCallResult* result) {
  *result = tervane::Send(*call);
}
