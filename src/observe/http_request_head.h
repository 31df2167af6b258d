// The head of an HTTP/1.x request as the Windows half of the endpoint reads it off its socket:
// the request line and the few headers the endpoint uses. Anything malformed is refused.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tervane {

// Heads longer than this are refused (431) before they are read to their end.
inline constexpr std::size_t kHttpHeadLimit = 8192;

struct HttpRequestHead {
  std::string method;
  std::string path;  // the target without its query
  std::string authorization;
  std::optional<std::size_t> contentLength;
  bool chunked = false;  // a Transfer-Encoding the endpoint does not take
};

// Parses the head without its final empty line ("GET / HTTP/1.1\r\nHost: x"); nothing when
// it is not a well-formed HTTP/1.0 or 1.1 request head.
std::optional<HttpRequestHead> ParseHttpRequestHead(std::string_view head);

}  // namespace tervane
