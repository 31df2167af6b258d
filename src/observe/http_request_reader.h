// One HTTP/1.x request read off a connection as its bytes arrive, within the endpoint's limits:
// Beast's parser, held to a head of at most 8 KiB and 64 header lines and a body of at most
// 4 KiB whether chunked or not (a request without Content-Length and not chunked has no body,
// as a POST from curl without data). Whatever a client sends, the reader holds at most a head's
// worth of unparsed bytes besides the parsed request.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "observe/http_api.h"

namespace tervane {

inline constexpr std::size_t kHttpHeadLimit = 8192;
inline constexpr std::size_t kHttpHeaderLinesLimit = 64;
inline constexpr std::size_t kHttpBodyLimit = 4096;

class HttpRequestReader {
 public:
  enum class Step {
    NeedMore,  // feed the next bytes of the connection
    Complete,  // Request() is whole; Rest() holds the bytes after it
    Refused,   // RefusalStatus() tells why; the connection is to be answered and closed
  };

  HttpRequestReader();
  ~HttpRequestReader();
  HttpRequestReader(const HttpRequestReader&) = delete;
  HttpRequestReader& operator=(const HttpRequestReader&) = delete;

  // Takes the next bytes of the connection. After Complete or Refused it takes no more.
  Step Feed(std::string_view bytes);

  // Whether any byte of this request came yet.
  bool Started() const { return started_; }
  // After Complete: the request (method, path without its query, Authorization, Host, body);
  // whether the client keeps the connection open for another; the bytes already read that
  // belong to the next request.
  const HttpRequest& Request() const { return request_; }
  bool KeepAlive() const { return keepAlive_; }
  std::string_view Rest() const;
  // After Refused: 400 malformed (not HTTP/1.x among them), 413 body too large, 431 head too
  // large.
  int RefusalStatus() const { return refusal_; }

 private:
  Step Refuse(int status);
  Step Finish();

  struct Parser;
  std::unique_ptr<Parser> parser_;
  bool started_ = false;
  bool headChecked_ = false;
  Step step_ = Step::NeedMore;
  HttpRequest request_;
  bool keepAlive_ = false;
  int refusal_ = 0;
};

}  // namespace tervane
