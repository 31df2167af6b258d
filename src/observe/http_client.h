// One HTTP request out and its answer: the webhook alerts' sender (and the tests' client).
// One header, two halves: on Linux libcurl, in a module of its own (kesp-webhook.so) loaded on
// first use, so that kesp without WebhookUrl never loads libcurl and what it needs; on Windows
// WinHTTP, loaded on first use too. Blocking; called off the loop.
#pragma once

#include <string>

namespace tervane {

struct HttpCall {
  std::string method = "POST";
  std::string url;  // http:// or https://
  std::string contentType = "application/json";
  std::string body;
  std::string authorization;  // the header's value, or nothing
  int timeoutMs = 5000;       // for the whole exchange
};

struct HttpCallResult {
  int status = 0;     // 0: no answer (error tells why)
  std::string body;   // at most kHttpAnswerLimit bytes
  std::string error;
};

inline constexpr std::size_t kHttpAnswerLimit = 1 << 20;

HttpCallResult SendHttp(const HttpCall& call);

// Loads what SendHttp needs, once; false with the reason when it cannot be had.
bool HttpClientReady(std::string& why);

}  // namespace tervane
