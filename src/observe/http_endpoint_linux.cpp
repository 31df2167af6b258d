// The Linux half of the endpoint: cpp-httplib (Debian's libcpp-httplib) with a small fixed
// pool of threads, short time-outs and the body limit.
#include <httplib.h>

#include <thread>

#include "observe/http_endpoint.h"

namespace tervane {
namespace {

bool IsLoopback(const std::string& address) {
  return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

// A few threads serve every client: a flood waits its turn instead of making threads.
constexpr std::size_t kServingThreads = 4;

}  // namespace

struct HttpEndpoint::Impl {
  explicit Impl(HttpHandler h) : handler(std::move(h)) {}
  HttpHandler handler;
  httplib::Server server;
  std::thread thread;

  void Serve(const httplib::Request& req, httplib::Response& res) const {
    HttpRequest request;
    request.method = req.method;
    request.path = req.path;
    request.authorization = req.get_header_value("Authorization");
    request.fromLoopback = IsLoopback(req.remote_addr);
    request.body = req.body;
    const HttpResponse answer = handler(request);
    res.status = answer.status;
    for (const auto& [name, value] : CommonResponseHeaders()) res.set_header(name, value);
    for (const auto& [name, value] : answer.headers) res.set_header(name, value);
    res.set_content(answer.body, answer.contentType.c_str());
  }
};

HttpEndpoint::HttpEndpoint(HttpHandler handler) : impl_(std::make_unique<Impl>(std::move(handler))) {
  httplib::Server& s = impl_->server;
  s.new_task_queue = [] { return new httplib::ThreadPool(kServingThreads); };
  s.set_payload_max_length(kHttpBodyLimit);
  s.set_read_timeout(2, 0);
  s.set_write_timeout(2, 0);
  s.set_keep_alive_max_count(20);
  s.set_keep_alive_timeout(2);
  const Impl* impl = impl_.get();
  auto serve = [impl](const httplib::Request& req, httplib::Response& res) { impl->Serve(req, res); };
  s.Get(".*", serve);
  s.Post(".*", serve);
  s.Put(".*", serve);
  s.Patch(".*", serve);
  s.Delete(".*", serve);
  s.Options(".*", serve);
}

HttpEndpoint::~HttpEndpoint() { Stop(); }

bool HttpEndpoint::Start(const ListenAddress& address, std::string& error) {
  const std::string host = address.host == "localhost" ? "127.0.0.1" : address.host;
  if (address.port == 0) {
    port_ = impl_->server.bind_to_any_port(host);
    if (port_ <= 0) port_ = 0;
  } else if (impl_->server.bind_to_port(host, address.port)) {
    port_ = address.port;
  }
  if (port_ == 0) {
    error = "cannot listen on " + host + ":" + std::to_string(address.port) + " (in use or not this host's address)";
    return false;
  }
  httplib::Server& server = impl_->server;
  impl_->thread = std::thread([&server] { server.listen_after_bind(); });
  return true;
}

void HttpEndpoint::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->server.stop();
  impl_->thread.join();
}

}  // namespace tervane
