#include "observe/http_endpoint.h"

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <mutex>
#include <thread>

#include "observe/http_listen.h"
#include "observe/http_request_reader.h"
#include "support/failures.h"

namespace tervane {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// How long the endpoint waits before it tries to accept again after the system refused an
// accept.
constexpr std::chrono::milliseconds kAcceptPause{250};
constexpr std::size_t kReadChunk = 4096;

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

HttpResponse Refusal(int status, const std::string& why = {}) {
  return HttpResponse{status, "text/plain; charset=utf-8", std::string(Reason(status)) + (why.empty() ? "" : ": " + why) + "\n", {}};
}

// Headers every answer carries: nothing is cached, framed by other sites or sniffed, and the
// page may only talk to its own origin.
const std::vector<std::pair<std::string, std::string>>& CommonResponseHeaders() {
  static const std::vector<std::pair<std::string, std::string>> headers = {
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'"},
  };
  return headers;
}

std::string Serialize(const HttpResponse& r, bool withBody, bool close) {
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + Reason(r.status) + "\r\n";
  out += "Content-Type: " + r.contentType + "\r\nContent-Length: " + std::to_string(r.body.size()) + "\r\n";
  if (close) out += "Connection: close\r\n";
  for (const auto& [name, value] : CommonResponseHeaders()) out += name + ": " + value + "\r\n";
  for (const auto& [name, value] : r.headers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  if (withBody) out += r.body;
  return out;
}

bool IsLoopback(const asio::ip::address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).is_loopback();
  return a.is_loopback();
}

// Where answers given on other threads go: onto the endpoint's thread while it runs, nowhere
// once it stopped.
struct Door {
  std::mutex mutex;
  asio::io_context* io = nullptr;
  template <typename F>
  void Post(F f) {
    std::lock_guard<std::mutex> lock(mutex);
    if (io) asio::post(*io, std::move(f));
  }
};

}  // namespace

struct HttpEndpoint::Impl {
  Impl(HttpHandler h, HttpEndpoint::TakeDescriptor take) : handler(std::move(h)), takeDescriptor(std::move(take)) {}

  void Accept();
  void PauseAccepting();
  void Run();

  HttpHandler handler;
  HttpEndpoint::TakeDescriptor takeDescriptor;
  std::atomic<std::uint64_t> open{0}, refusedAtLimit{0}, refusedForDescriptors{0}, acceptsDeferred{0},
      acceptFailures{0}, timedOut{0}, tooLarge{0}, malformed{0};
  std::shared_ptr<Door> door = std::make_shared<Door>();
  // Destroyed before the counters: the sessions its handlers still hold count themselves out.
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer acceptPause{io};
  std::thread thread;
};

namespace {

// One connection: requests read one after the other, each answered before the next is read.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(HttpEndpoint::Impl& owner, tcp::socket socket, DoorDescriptor door, bool loopback, std::string peer)
      : owner_(owner), socket_(std::move(socket)), door_(std::move(door)), timer_(owner.io), loopback_(loopback),
        peer_(std::move(peer)) {
    ++owner_.open;
  }
  ~Session() { --owner_.open; }

  void Start() {
    // An answer's last segment goes at once, not after the client's delayed acknowledgement of
    // the one before (some 40 ms on Linux).
    error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    Arm(kHttpRequestTime);
    Read();
  }

 private:
  enum class State { Reading, Answering, Writing, Closed };

  // One deadline for what the connection does now: the request, the answer or its writing.
  void Arm(std::chrono::steady_clock::duration limit) {
    timer_.expires_after(limit);
    timer_.async_wait([self = shared_from_this()](error_code ec) {
      // A wait that completed just before the deadline moved on is not this deadline's.
      if (!ec && self->timer_.expiry() <= std::chrono::steady_clock::now()) self->OnDeadline();
    });
  }

  void OnDeadline() {
    switch (state_) {
      case State::Reading:
        if (!reader_->Started()) return Close();  // idle
        ++owner_.timedOut;
        return Write(Refusal(408), true);
      case State::Answering:
        ++owner_.timedOut;
        return Write(Refusal(503), true);
      case State::Writing: return Close();
      case State::Closed: return;
    }
  }

  void Read() {
    socket_.async_read_some(asio::buffer(in_), [self = shared_from_this()](error_code ec, std::size_t n) {
      if (self->state_ != State::Reading) return;
      if (ec) return self->Close();
      self->Take(std::string_view(self->in_.data(), n));
    });
  }

  void Take(std::string_view bytes) {
    switch (reader_->Feed(bytes)) {
      case HttpRequestReader::Step::NeedMore: return Read();
      case HttpRequestReader::Step::Refused: {
        const int status = reader_->RefusalStatus();
        ++(status == 413 || status == 431 ? owner_.tooLarge : owner_.malformed);
        head_ = false;
        return Write(Refusal(status), true);
      }
      case HttpRequestReader::Step::Complete: return Dispatch();
    }
  }

  void Dispatch() {
    state_ = State::Answering;
    ++requests_;
    Arm(kHttpAnswerTime);
    HttpRequest request = reader_->Request();
    request.fromLoopback = loopback_;
    request.peer = peer_;
    head_ = request.method == "HEAD";
    keepAlive_ = reader_->KeepAlive() && requests_ < kHttpRequestsPerConnection;
    const unsigned ticket = ++ticket_;
    std::weak_ptr<Session> weak = weak_from_this();
    HttpAnswer answer = [weak, door = owner_.door, ticket](HttpResponse r) {
      door->Post([weak, ticket, r = std::move(r)]() mutable {
        if (auto self = weak.lock()) self->Answered(ticket, std::move(r));
      });
    };
    try {
      owner_.handler(request, answer);
    } catch (...) {
      NoteCaughtFailure("HTTP request");
      answer(Refusal(500));
    }
  }

  void Answered(unsigned ticket, HttpResponse r) {
    if (state_ != State::Answering || ticket != ticket_) return;
    Write(r, !keepAlive_);
  }

  void Write(const HttpResponse& r, bool close) {
    state_ = State::Writing;
    close_ = close;
    out_ = Serialize(r, !head_, close);
    Arm(kHttpRequestTime);
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](error_code ec, std::size_t) {
      if (self->state_ != State::Writing) return;
      if (ec || self->close_) return self->Close();
      self->Next();
    });
  }

  // Keep-alive: the next request, which may have come with the last one.
  void Next() {
    const std::string rest(reader_->Rest());
    reader_ = std::make_unique<HttpRequestReader>();
    out_.clear();
    state_ = State::Reading;
    Arm(kHttpRequestTime);
    if (rest.empty())
      Read();
    else
      Take(rest);
  }

  void Close() {
    if (state_ == State::Closed) return;
    state_ = State::Closed;
    timer_.cancel();
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  HttpEndpoint::Impl& owner_;
  tcp::socket socket_;
  DoorDescriptor door_;  // the share of the descriptors its socket takes
  asio::steady_timer timer_;
  bool loopback_;
  std::string peer_;
  State state_ = State::Reading;
  std::unique_ptr<HttpRequestReader> reader_ = std::make_unique<HttpRequestReader>();
  std::array<char, kReadChunk> in_;
  std::string out_;
  int requests_ = 0;
  unsigned ticket_ = 0;
  bool head_ = false;
  bool keepAlive_ = false;
  bool close_ = false;
};

// A connection past the limit: told so if its socket takes the answer at once, then closed. What
// the client sent already is read first (a little at most): a socket closed with unread bytes
// is reset, and the answer would be lost with it.
void RefuseAtOnce(tcp::socket& socket, const std::string& why = {}) {
  const std::string busy = Serialize(Refusal(503, why), true, true);
  error_code ignored;
  socket.non_blocking(true, ignored);
  std::array<char, kReadChunk> sent;
  for (int n = 0; n < 4 && socket.read_some(asio::buffer(sent), ignored) > 0;) ++n;
  socket.write_some(asio::buffer(busy), ignored);
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

}  // namespace

void HttpEndpoint::Impl::PauseAccepting() {
  acceptPause.expires_after(kAcceptPause);
  acceptPause.async_wait([this](error_code ec) {
    if (!ec) Accept();
  });
}

void HttpEndpoint::Impl::Accept() {
  acceptor.async_accept([this](error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
    if (ec) {
      ++acceptFailures;
      if (ec == asio::error::no_descriptors) ++acceptsDeferred;
      return PauseAccepting();
    }
    error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (peerError) {
      socket.close(peerError);
    } else if (open.load() >= static_cast<std::uint64_t>(kHttpConnectionLimit)) {
      ++refusedAtLimit;
      RefuseAtOnce(socket);
    } else {
      // A descriptor of the doors' share, or the client is told why not.
      std::string why;
      DoorDescriptor door = takeDescriptor ? takeDescriptor(why) : DoorDescriptor();
      if (takeDescriptor && !door) {
        ++refusedForDescriptors;
        RefuseAtOnce(socket, why);
      } else {
        const std::string where = peer.address().to_string() + ":" + std::to_string(peer.port());
        std::make_shared<Session>(*this, std::move(socket), std::move(door), IsLoopback(peer.address()), where)->Start();
      }
    }
    Accept();
  });
}

void HttpEndpoint::Impl::Run() {
  for (;;) {
    try {
      io.run();
      return;
    } catch (...) {
      // A handler's failure ends that connection's turn, not the endpoint.
      NoteCaughtFailure("HTTP endpoint");
    }
  }
}

HttpEndpoint::HttpEndpoint(HttpHandler handler, TakeDescriptor takeDescriptor)
    : impl_(std::make_unique<Impl>(std::move(handler), std::move(takeDescriptor))) {}

HttpEndpoint::~HttpEndpoint() { Stop(); }

bool HttpEndpoint::Start(const ListenAddress& address, std::string& error) {
  if (impl_->thread.joinable()) return true;
  const std::string host = address.host == "localhost" ? "127.0.0.1" : address.host;
  const std::string where = host + ":" + std::to_string(address.port);
  error_code ec;
  const asio::ip::address ip = asio::ip::make_address(host, ec);
  if (ec) {
    error = "cannot listen on " + where + " (not an IP address)";
    return false;
  }
  tcp::acceptor& acceptor = impl_->acceptor;
  const tcp::endpoint at(ip, address.port);
  acceptor.open(at.protocol(), ec);
  if (!ec) SetListenOptions(acceptor, ec);
  if (!ec) acceptor.bind(at, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  const tcp::endpoint bound = ec ? tcp::endpoint() : acceptor.local_endpoint(ec);
  if (ec) {
    error = "cannot listen on " + where + ": " + ec.message();
    error_code ignored;
    acceptor.close(ignored);
    return false;
  }
  port_ = bound.port();
  {
    std::lock_guard<std::mutex> lock(impl_->door->mutex);
    impl_->door->io = &impl_->io;
  }
  impl_->Accept();
  impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
  return true;
}

void HttpEndpoint::Stop() {
  if (!impl_->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(impl_->door->mutex);
    impl_->door->io = nullptr;
  }
  impl_->io.stop();
  impl_->thread.join();
  error_code ignored;
  impl_->acceptor.close(ignored);
}

std::string ThisHostName() {
  error_code ec;
  std::string name = asio::ip::host_name(ec);
  return ec || name.empty() ? std::string("this host") : name;
}

HttpEndpointCounts HttpEndpoint::Counts() const {
  const Impl& i = *impl_;
  return HttpEndpointCounts{i.open.load(),           i.refusedAtLimit.load(), i.refusedForDescriptors.load(),
                            i.acceptsDeferred.load(), i.acceptFailures.load(), i.timedOut.load(),
                            i.tooLarge.load(),        i.malformed.load()};
}

}  // namespace tervane
