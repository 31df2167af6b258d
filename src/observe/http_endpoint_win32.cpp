// The Windows half of the endpoint: a small HTTP/1.1 server on Winsock (Debian's cpp-httplib
// comes built for Linux only). One thread accepts, a few serve one request per connection
// with short time-outs; connections beyond the queue's bound are closed at once.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "observe/http_endpoint.h"
#include "observe/http_request_head.h"

namespace tervane {
namespace {

constexpr std::size_t kServingThreads = 4;
constexpr std::size_t kWaitingLimit = 64;
constexpr DWORD kSocketTimeoutMs = 2000;

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

void SendAll(SOCKET s, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = ::send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

void Answer(SOCKET s, const HttpResponse& r, bool withBody) {
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + Reason(r.status) + "\r\n";
  out += "Content-Type: " + r.contentType + "\r\n";
  out += "Content-Length: " + std::to_string(r.body.size()) + "\r\nConnection: close\r\n";
  for (const auto& [name, value] : CommonResponseHeaders()) out += name + ": " + value + "\r\n";
  for (const auto& [name, value] : r.headers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  if (withBody) out += r.body;
  SendAll(s, out);
}

HttpResponse Refusal(int status) { return HttpResponse{status, "text/plain; charset=utf-8", std::string(Reason(status)) + "\n", {}}; }

bool Loopback(const sockaddr_in& peer) { return (ntohl(peer.sin_addr.s_addr) >> 24) == 127; }

}  // namespace

struct HttpEndpoint::Impl {
  explicit Impl(HttpHandler h) : handler(std::move(h)) {}
  HttpHandler handler;
  SOCKET listener = INVALID_SOCKET;
  std::thread acceptor;
  std::vector<std::thread> servers;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::pair<SOCKET, bool>> waiting;  // a connection and whether it is from this host
  bool stopping = false;
  bool winsock = false;

  void Accept() {
    for (;;) {
      sockaddr_in peer{};
      int length = sizeof peer;
      const SOCKET s = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
      if (s == INVALID_SOCKET) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) return;
        continue;
      }
      std::unique_lock<std::mutex> lock(mutex);
      if (stopping || waiting.size() >= kWaitingLimit) {
        lock.unlock();
        ::closesocket(s);
        continue;
      }
      waiting.emplace_back(s, Loopback(peer));
      lock.unlock();
      wake.notify_one();
    }
  }

  void Work() {
    for (;;) {
      std::pair<SOCKET, bool> next;
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] { return stopping || !waiting.empty(); });
        if (stopping) return;
        next = waiting.front();
        waiting.pop_front();
      }
      Serve(next.first, next.second);
      ::closesocket(next.first);
    }
  }

  void Serve(SOCKET s, bool fromLoopback) {
    DWORD timeout = kSocketTimeoutMs;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    std::string data;
    std::size_t headEnd = std::string::npos;
    char buffer[2048];
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
      if (data.size() > kHttpHeadLimit) return Answer(s, Refusal(431), true);
      const int n = ::recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) return;  // closed or too slow: dropped
      data.append(buffer, static_cast<std::size_t>(n));
    }
    const auto head = ParseHttpRequestHead(std::string_view(data).substr(0, headEnd));
    if (!head) return Answer(s, Refusal(headEnd > kHttpHeadLimit ? 431 : 400), true);
    if (head->chunked) return Answer(s, Refusal(411), true);
    const std::size_t length = head->contentLength.value_or(0);
    if (length > kHttpBodyLimit) return Answer(s, Refusal(413), true);
    std::string body = data.substr(headEnd + 4);
    while (body.size() < length) {
      const int n = ::recv(s, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      body.append(buffer, static_cast<std::size_t>(n));
    }
    body.resize(length);
    HttpRequest request;
    request.method = head->method == "HEAD" ? "GET" : head->method;
    request.path = head->path;
    request.authorization = head->authorization;
    request.fromLoopback = fromLoopback;
    request.body = std::move(body);
    Answer(s, handler(request), head->method != "HEAD");
  }
};

HttpEndpoint::HttpEndpoint(HttpHandler handler) : impl_(std::make_unique<Impl>(std::move(handler))) {}

HttpEndpoint::~HttpEndpoint() {
  Stop();
  if (impl_->winsock) WSACleanup();
}

bool HttpEndpoint::Start(const ListenAddress& address, std::string& error) {
  const std::string host = address.host == "localhost" ? "127.0.0.1" : address.host;
  const std::string where = host + ":" + std::to_string(address.port);
  if (!impl_->winsock) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
      error = "Winsock could not be started";
      return false;
    }
    impl_->winsock = true;
  }
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(address.port);
  if (::inet_pton(AF_INET, host.c_str(), &at.sin_addr) != 1) {
    error = "cannot listen on " + where + " (not an IPv4 address)";
    return false;
  }
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = "no socket for " + where;
    return false;
  }
  // No other program may take the same port beside it.
  BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  int length = sizeof at;
  if (::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(s, SOMAXCONN) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    ::closesocket(s);
    error = "cannot listen on " + where + " (in use or not this host's address)";
    return false;
  }
  port_ = ntohs(at.sin_port);
  impl_->listener = s;
  impl_->stopping = false;
  impl_->acceptor = std::thread([this] { impl_->Accept(); });
  for (std::size_t i = 0; i < kServingThreads; ++i) impl_->servers.emplace_back([this] { impl_->Work(); });
  return true;
}

void HttpEndpoint::Stop() {
  if (!impl_->acceptor.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  ::closesocket(impl_->listener);  // ends the blocking accept
  impl_->wake.notify_all();
  impl_->acceptor.join();
  for (auto& t : impl_->servers) t.join();
  impl_->servers.clear();
  for (const auto& [s, local] : impl_->waiting) ::closesocket(s);
  impl_->waiting.clear();
  impl_->listener = INVALID_SOCKET;
}

}  // namespace tervane
