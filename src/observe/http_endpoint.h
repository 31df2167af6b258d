// The HTTP endpoint's sockets and threads: it listens on an address and hands every request to
// a handler on threads of its own (the handler must not touch the server list). One header,
// two halves: cpp-httplib on Linux, the system's HTTP Server API (http.sys) on Windows.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "observe/http_api.h"
#include "observe/options.h"

namespace tervane {

// Requests may carry a body of at most this many bytes (the commands need none); larger ones
// are refused unread.
inline constexpr std::size_t kHttpBodyLimit = 4096;

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

class HttpEndpoint {
 public:
  explicit HttpEndpoint(HttpHandler handler);
  // Stops listening and waits for the threads.
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Listens on the address and serves on threads of its own; false with the reason when the
  // address cannot be had.
  bool Start(const ListenAddress& address, std::string& error);
  void Stop();
  int Port() const { return port_; }

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

// Headers every answer carries: nothing is cached, framed by other sites or sniffed, and the
// page may only talk to its own origin.
const std::vector<std::pair<std::string, std::string>>& CommonResponseHeaders();

}  // namespace tervane
