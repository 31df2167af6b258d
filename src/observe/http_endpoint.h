// The HTTP endpoint's sockets and thread: one implementation for both programs, on Boost.Asio
// with Beast's request parser. It listens on an address and hands every request to a handler
// on a thread of its own (the handler must not touch the server list), within bounds that no
// client can push:
//   - at most kHttpConnectionLimit connections at once, each holding a descriptor of the doors'
//     share while that lasts; more are answered 503 (with why) and closed at accept, and counted;
//   - a request's head and body whole within kHttpRequestTime of the connection or of the
//     previous answer (a slow or idle client is dropped then), answers written within it too;
//   - at most kHttpRequestsPerConnection requests on one connection;
//   - the head and body limits of HttpRequestReader;
//   - an answer the handler does not give within kHttpAnswerTime is 503.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "observe/http_api.h"
#include "observe/metrics.h"
#include "options/settings.h"
#include "support/descriptors.h"

namespace tervane {

inline constexpr int kHttpConnectionLimit = 32;
inline constexpr std::chrono::seconds kHttpRequestTime{5};
inline constexpr int kHttpRequestsPerConnection = 100;
inline constexpr std::chrono::seconds kHttpAnswerTime{5};

// Answers through `answer` (once, from any thread; at once or later).
using HttpHandler = std::function<void(const HttpRequest&, HttpAnswer answer)>;

class HttpEndpoint {
 public:
  // takeDescriptor: a descriptor for a new connection, or none with why (the connection is then
  // answered 503 with it). None: always.
  using TakeDescriptor = std::function<DoorDescriptor(std::string& why)>;
  explicit HttpEndpoint(HttpHandler handler, TakeDescriptor takeDescriptor = {});
  // Stops listening and waits for the thread.
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Listens on the address (port 0: one of the system's choice) and serves on a thread of its
  // own; false with the reason when the address cannot be had. May be tried again after false.
  bool Start(const ListenAddress& address, std::string& error);
  void Stop();
  bool Listening() const { return port_ != 0; }
  int Port() const { return port_; }
  HttpEndpointCounts Counts() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

// This host's name as the system gives it (the alerts name their host with it).
std::string ThisHostName();

}  // namespace tervane
