// What RCON is on every platform: the dialect and password choices, the packets and answer
// readers, the two exchanges as state machines, the socket's loops, the exchange over sockets
// and the worker threads. The socket's system calls are in rcon_posix.cpp and rcon_win32.cpp.
#include "net/rcon.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include "net/query.h"
#include "net/vel_udp.h"
#include "support/event_loop.h"
#include "support/text.h"

namespace tervane {
namespace {

using Clock = std::chrono::steady_clock;

// The protocol an info reply of a GoldSrc server carries.
constexpr int kGoldSrcProtocol = 48;

constexpr std::uint8_t kHeader[] = {0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::string_view kChallengePrefix = "challenge rcon ";
constexpr std::string_view kBadPassword = "Bad rcon_password.";
constexpr std::string_view kBadChallenge = "Bad challenge.";

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) < 33) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) < 33) text.remove_suffix(1);
  return text;
}

std::int32_t ReadInt32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
      static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

void PutInt32(std::vector<std::uint8_t>& out, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

std::vector<std::uint8_t> WithHeader(std::string_view text) {
  std::vector<std::uint8_t> out(4 + text.size(), 0xFF);
  std::copy(text.begin(), text.end(), out.begin() + 4);
  return out;
}

}  // namespace

// ------------------------------------------------------------------------ choices

std::optional<RconDialect> ParseRconProtocol(std::string_view value) {
  std::string lower(TrimBlanks(value));
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (lower == "source") return RconDialect::Source;
  if (lower == "goldsrc") return RconDialect::GoldSrc;
  return std::nullopt;
}

std::string_view RconDialectName(RconDialect dialect) {
  return dialect == RconDialect::GoldSrc ? "goldsrc" : "source";
}

RconDialect ChooseRconDialect(std::int16_t replyKind, int replyProtocol,
                              std::optional<RconDialect> setting) {
  if (setting) return *setting;
  if (replyKind == kReplyDetailsOld || replyKind == kReplyDetailsNew) return RconDialect::GoldSrc;
  if (replyKind == kReplyInfo && replyProtocol == kGoldSrcProtocol) return RconDialect::GoldSrc;
  return RconDialect::Source;
}

std::optional<std::string> RconPasswordFromParams(std::u16string_view params) {
  static constexpr std::u16string_view kKey = u"+rcon_password ";
  // Lower-casing keeps every position, so the key found in the copy marks the original text,
  // whose value keeps its letter case.
  const std::size_t key = LowerCase(params).find(kKey);
  if (key == std::u16string::npos) return std::nullopt;
  std::size_t i = key + kKey.size();
  while (i < params.size() && params[i] < 33) ++i;
  std::u16string value;
  bool quoted = false;
  for (; i < params.size(); ++i) {
    const char16_t c = params[i];
    if (c == u'"') {
      quoted = !quoted;
    } else if (c == u' ' && !quoted) {
      break;
    } else {
      value.push_back(c);
    }
  }
  return ToSystem8(value);
}

std::string ChooseRconPassword(std::u16string_view params, std::string_view configured) {
  if (auto own = RconPasswordFromParams(params)) return *own;
  return std::string(configured);
}

// ------------------------------------------------------------------------ results

std::string_view RconFailureText(RconFailure failure) {
  switch (failure) {
    case RconFailure::None: return "RCON answered";
    case RconFailure::NoPassword: return "RCON password not set";
    case RconFailure::InvalidRequest: return "RCON request invalid";
    case RconFailure::ConnectionRefused: return "RCON connection refused";
    case RconFailure::PasswordRefused: return "RCON password refused";
    case RconFailure::ChallengeRefused: return "RCON challenge refused";
    case RconFailure::Malformed: return "RCON answer malformed";
    case RconFailure::TooLong: return "RCON answer too long";
    case RconFailure::ConnectionClosed: return "RCON connection closed";
    case RconFailure::TimedOut: return "RCON timed out";
    case RconFailure::NetworkError: return "RCON network error";
    case RconFailure::Busy: return "RCON busy";
    case RconFailure::Cancelled: return "RCON cancelled";
    case RconFailure::NotSent: return "RCON command not sent";
  }
  return "RCON failed";
}

std::string RconResult::Reason() const {
  std::string text(RconFailureText(failure));
  if (!detail.empty()) text += " (" + detail + ")";
  return text;
}

// ------------------------------------------------------------------------ Source

std::vector<std::uint8_t> BuildSourcePacket(std::int32_t id, std::int32_t type,
                                            std::string_view body) {
  body = body.substr(0, body.find('\0'));
  std::vector<std::uint8_t> out;
  out.reserve(14 + body.size());
  PutInt32(out, static_cast<std::int32_t>(10 + body.size()));
  PutInt32(out, id);
  PutInt32(out, type);
  out.insert(out.end(), body.begin(), body.end());
  out.push_back(0);
  out.push_back(0);
  return out;
}

void SourcePacketReader::Append(std::span<const std::uint8_t> bytes) {
  if (malformed_) return;
  // What has been read is dropped before the buffer grows: it holds one packet's rest at most.
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ >= 4096) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

SourcePacketReader::Step SourcePacketReader::Next(SourcePacket& packet) {
  if (malformed_) return Step::Malformed;
  const std::size_t available = buffer_.size() - start_;
  if (available < 4) return Step::NeedMore;
  const std::uint8_t* p = buffer_.data() + start_;
  const std::int32_t size = ReadInt32(p);
  const auto whole = static_cast<std::size_t>(size) + 4;
  if (size < kSourceRconMinSize || size > kSourceRconMaxSize ||
      (available >= whole && p[whole - 1] != 0)) {
    malformed_ = true;
    buffer_.clear();
    buffer_.shrink_to_fit();
    start_ = 0;
    return Step::Malformed;
  }
  if (available < whole) return Step::NeedMore;
  packet.id = ReadInt32(p + 4);
  packet.type = ReadInt32(p + 8);
  const char* strings = reinterpret_cast<const char*>(p + 12);
  const std::size_t length = whole - 12;
  const void* end = std::memchr(strings, 0, length);  // found: the last byte is zero
  packet.body.assign(strings, static_cast<const char*>(end) - strings);
  start_ += whole;
  return Step::Packet;
}

SourceRconSession::SourceRconSession(std::string_view password, std::string_view command)
    : command_(command), outgoing_(BuildSourcePacket(kAuthId, kServerDataAuth, password)) {}

std::vector<std::uint8_t> SourceRconSession::TakeOutgoing() { return std::exchange(outgoing_, {}); }

void SourceRconSession::Receive(std::span<const std::uint8_t> bytes) {
  if (Finished()) return;
  reader_.Append(bytes);
  SourcePacket packet;
  while (!Finished()) {
    const SourcePacketReader::Step step = reader_.Next(packet);
    if (step == SourcePacketReader::Step::NeedMore) return;
    if (step == SourcePacketReader::Step::Malformed) {
      Fail(RconFailure::Malformed, "no Source RCON packet");
      return;
    }
    if (++packets_ > kRconMaxPackets) {
      Fail(RconFailure::TooLong, "more than " + std::to_string(kRconMaxPackets) + " packets");
      return;
    }
    Handle(packet);
  }
}

void SourceRconSession::Handle(const SourcePacket& packet) {
  if (phase_ == Phase::Auth) {
    // Servers send an empty RESPONSE_VALUE before the auth answer.
    if (packet.type == kServerDataResponseValue) return;
    if (packet.type != kServerDataAuthResponse) {
      Fail(RconFailure::Malformed,
           "a packet of type " + std::to_string(packet.type) + " before the auth answer");
    } else if (packet.id == -1) {
      Fail(RconFailure::PasswordRefused, "");
    } else if (packet.id != kAuthId) {
      Fail(RconFailure::Malformed, "an auth answer of another id");
    } else {
      phase_ = Phase::Answer;
      outgoing_ = BuildSourcePacket(kCommandId, kServerDataExecCommand, command_);
      const auto end = BuildSourcePacket(kEndId, kServerDataResponseValue, "");
      outgoing_.insert(outgoing_.end(), end.begin(), end.end());
    }
    return;
  }
  if (packet.type == kServerDataAuthResponse && packet.id == -1) {
    // A server answers a command it will not take as it answers a wrong password.
    Fail(RconFailure::PasswordRefused, "after the command");
    return;
  }
  if (packet.type != kServerDataResponseValue) {
    Fail(RconFailure::Malformed,
         "a packet of type " + std::to_string(packet.type) + " in the answer");
    return;
  }
  if (packet.id == kEndId) {
    Finish();
    return;
  }
  if (packet.id != kCommandId) return;
  if (result_.answer.size() + packet.body.size() > kRconMaxAnswer) {
    Fail(RconFailure::TooLong, "over " + std::to_string(kRconMaxAnswer) + " bytes");
    return;
  }
  result_.answer += packet.body;
}

void SourceRconSession::ServerClosed() {
  if (Finished()) return;
  if (phase_ == Phase::Auth) {
    Fail(RconFailure::ConnectionClosed, "before the password was answered");
    return;
  }
  result_.closedByServer = true;
  Finish();
}

void SourceRconSession::Fail(RconFailure failure, std::string detail) {
  if (Finished()) return;
  result_.failure = failure;
  result_.detail = std::move(detail);
  Finish();
}

// ------------------------------------------------------------------------ GoldSrc

std::vector<std::uint8_t> BuildGoldSrcChallengeRequest() { return WithHeader("challenge rcon\n"); }

std::vector<std::uint8_t> BuildGoldSrcCommand(std::string_view challenge, std::string_view password,
                                              std::string_view command) {
  std::string text = "rcon ";
  text.append(challenge).append(" \"").append(password).append("\" ").append(command);
  return WithHeader(text);
}

GoldSrcDatagram ReadGoldSrcDatagram(std::span<const std::uint8_t> datagram) {
  GoldSrcDatagram result;
  if (datagram.size() < 5 || std::memcmp(datagram.data(), kHeader, 4) != 0) return result;
  std::string_view text(reinterpret_cast<const char*>(datagram.data()) + 4, datagram.size() - 4);
  text = text.substr(0, text.find('\0'));
  if (text.starts_with(kChallengePrefix)) {
    const std::string_view digits = TrimBlanks(text.substr(kChallengePrefix.size()));
    if (digits.empty() || digits.size() > 10) return result;
    std::uint64_t value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return result;
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull) return result;
    result.kind = GoldSrcDatagram::Kind::Challenge;
    result.text = std::string(digits);
  } else if (!text.empty() && text.front() == 'l') {
    result.kind = GoldSrcDatagram::Kind::Text;
    result.text = std::string(text.substr(1));
  }
  return result;
}

GoldSrcRconSession::GoldSrcRconSession(std::string_view password, std::string_view command)
    : password_(password), command_(command), outgoing_(BuildGoldSrcChallengeRequest()) {}

std::vector<std::uint8_t> GoldSrcRconSession::TakeOutgoing() {
  return std::exchange(outgoing_, {});
}

void GoldSrcRconSession::Receive(std::span<const std::uint8_t> datagram) {
  if (Finished()) return;
  const GoldSrcDatagram read = ReadGoldSrcDatagram(datagram);
  if (phase_ == Phase::Challenge) {
    if (read.kind != GoldSrcDatagram::Kind::Challenge) {
      Fail(RconFailure::Malformed, "no challenge in the answer");
      return;
    }
    outgoing_ = BuildGoldSrcCommand(read.text, password_, command_);
    phase_ = Phase::Answer;
    return;
  }
  if (read.kind == GoldSrcDatagram::Kind::Challenge) return;  // the challenge once more
  if (read.kind != GoldSrcDatagram::Kind::Text) {
    Fail(RconFailure::Malformed, "a datagram that is no 'l' answer");
    return;
  }
  if (++datagrams_ > kRconMaxPackets) {
    Fail(RconFailure::TooLong, "more than " + std::to_string(kRconMaxPackets) + " datagrams");
    return;
  }
  if (datagrams_ == 1) {
    if (read.text.starts_with(kBadPassword)) {
      Fail(RconFailure::PasswordRefused, "");
      return;
    }
    if (read.text.starts_with(kBadChallenge)) {
      Fail(RconFailure::ChallengeRefused, "");
      return;
    }
  }
  if (result_.answer.size() + read.text.size() > kRconMaxAnswer) {
    Fail(RconFailure::TooLong, "over " + std::to_string(kRconMaxAnswer) + " bytes");
    return;
  }
  result_.answer += read.text;
}

void GoldSrcRconSession::QuietTimeOver() {
  if (phase_ == Phase::Answer && datagrams_ > 0) Finish();
}

void GoldSrcRconSession::Fail(RconFailure failure, std::string detail) {
  if (Finished()) return;
  result_.failure = failure;
  result_.detail = std::move(detail);
  Finish();
}

// ------------------------------------------------------------------------ the socket

namespace {
// How often a wait looks at the deadline and at cancel.
constexpr auto kSlice = std::chrono::milliseconds(50);
}  // namespace

RconSocket::RconSocket() { StartPlatform(); }

RconSocket::~RconSocket() = default;

RconSocket::Status RconSocket::Connect(bool stream, std::uint32_t address, std::uint16_t port,
                                       Deadline deadline, const std::atomic<bool>* cancel) {
  stream_ = stream;
  if (!OpenSocket()) {
    error_ = LastError();
    return Status::Failed;
  }
  const Try started = StartConnect(address, port);
  if (started == Try::Done) return Status::Ok;
  if (started == Try::Failed) return FromError(LastError());
  const Status waited = Wait(true, deadline, cancel);
  if (waited != Status::Ok) return waited;
  const Expected<int> held = ReadSocketError();
  const int code = held ? *held : static_cast<int>(held.Error());
  return code == 0 ? Status::Ok : FromError(code);
}

RconSocket::Status RconSocket::Send(std::span<const std::uint8_t> bytes, Deadline deadline,
                                    const std::atomic<bool>* cancel) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    std::size_t n = 0;
    const Try tried = SendSome(bytes.subspan(sent), n);
    if (tried == Try::Done) {
      sent += n;
      continue;
    }
    if (tried == Try::Failed) return FromError(LastError());
    const Status waited = Wait(true, deadline, cancel);
    if (waited != Status::Ok) return waited;
  }
  return Status::Ok;
}

RconSocket::Status RconSocket::Receive(std::span<std::uint8_t> buffer, std::size_t& received,
                                       Deadline deadline, const std::atomic<bool>* cancel) {
  received = 0;
  for (;;) {
    std::size_t n = 0;
    const Try tried = ReceiveSome(buffer, n);
    if (tried == Try::Done) {
      if (n == 0 && stream_) return Status::Closed;  // an empty datagram is a datagram
      if (n > buffer.size()) return Status::TooBig;
      received = n;
      return Status::Ok;
    }
    if (tried == Try::Failed) return FromError(LastError());
    const Status waited = Wait(false, deadline, cancel);
    if (waited != Status::Ok) return waited;
  }
}

std::string RconSocket::ErrorText() const {
  return ToSystem8(SystemErrorText(static_cast<std::uint32_t>(error_)));
}

RconSocket::Status RconSocket::Wait(bool write, Deadline deadline,
                                    const std::atomic<bool>* cancel) {
  for (;;) {
    if (cancel && cancel->load()) return Status::Cancelled;
    if (const int held = HeldError(); held != 0) return FromError(held);
    const auto now = Clock::now();
    if (now >= deadline) return Status::TimedOut;
    const auto slice =
        std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), kSlice);
    const Try ready = WaitSlice(write, slice);
    if (ready == Try::Done) return Status::Ok;  // ready, or an error the next call reports
    if (ready == Try::Failed) {
      error_ = LastError();
      return Status::Failed;
    }
  }
}

RconSocket::Status RconSocket::FromError(int code) {
  switch (ClassOf(code)) {
    case ErrorClass::Refused: return Status::Refused;
    // A UDP socket hears of a port unreachable as a reset.
    case ErrorClass::Reset: return stream_ ? Status::Closed : Status::Refused;
    case ErrorClass::TooBig: return Status::TooBig;
    case ErrorClass::Other: break;
  }
  error_ = code;
  return Status::Failed;
}

// ------------------------------------------------------------------------ one exchange

namespace {

using Status = RconSocket::Status;

RconResult Failed(RconFailure failure, std::string detail) {
  RconResult result;
  result.failure = failure;
  result.detail = std::move(detail);
  return result;
}

// A failed socket step as a failure, with where it happened.
RconResult StepFailure(Status status, const std::string& where, const RconSocket& socket) {
  switch (status) {
    case Status::Ok: break;
    case Status::TimedOut: return Failed(RconFailure::TimedOut, where);
    case Status::Cancelled: return Failed(RconFailure::Cancelled, where);
    case Status::Refused: return Failed(RconFailure::ConnectionRefused, where);
    case Status::Closed: return Failed(RconFailure::ConnectionClosed, where);
    case Status::TooBig:
      return Failed(RconFailure::Malformed,
                    "a datagram over " + std::to_string(kGoldSrcMaxDatagram) + " bytes");
    case Status::Failed:
      return Failed(RconFailure::NetworkError, where + ": " + socket.ErrorText());
  }
  return RconResult{};
}

template <typename Session>
void FailStep(Session& session, Status status, const std::string& where, const RconSocket& socket) {
  if (status == Status::Ok) return;
  RconResult failure = StepFailure(status, where, socket);
  session.Fail(failure.failure, std::move(failure.detail));
}

RconResult WithdrawnResult() {
  return Failed(RconFailure::NotSent, "withdrawn: the process it was meant for has ended");
}

// The session's result, with when its command went.
RconResult Ended(RconResult result, std::optional<Clock::time_point> sent) {
  result.commandSent = sent;
  return result;
}

std::optional<RconResult> CheckRequest(const RconRequest& request, std::uint32_t& address) {
  if (request.password.empty()) return Failed(RconFailure::NoPassword, "");
  if (request.password.size() > kRconMaxPassword ||
      request.password.find('\0') != std::string::npos)
    return Failed(RconFailure::InvalidRequest, "the password is too long or holds a zero byte");
  if (request.command.empty() || request.command.size() > kRconMaxCommand ||
      request.command.find('\0') != std::string::npos)
    return Failed(RconFailure::InvalidRequest,
                  "the command is empty, too long or holds a zero byte");
  // A GoldSrc password travels in double quotes, which it therefore cannot hold.
  if (request.dialect == RconDialect::GoldSrc && request.password.find('"') != std::string::npos)
    return Failed(RconFailure::InvalidRequest, "a GoldSrc password cannot hold a double quote");
  address = ParseDottedIPv4(request.address);
  if (address == kAddressNone || address == 0 || request.port == 0)
    return Failed(RconFailure::InvalidRequest, "no server address and port");
  return std::nullopt;
}

RconResult RunSource(RconSocket& socket, const RconRequest& request, Clock::time_point setup,
                     Clock::time_point end, const std::atomic<bool>* cancel) {
  SourceRconSession session(request.password, request.command);
  std::vector<std::uint8_t> buffer(kSourceRconMaxSize + 4);
  std::optional<Clock::time_point> commandSent;
  for (;;) {
    const std::vector<std::uint8_t> out = session.TakeOutgoing();
    if (!out.empty()) {
      // After the password's answer the bytes are the command's: the last moment to hold it back.
      if (session.Authenticated()) {
        if (Withdrawn(request)) return WithdrawnResult();
        commandSent = Clock::now();
      }
      const Status sent = socket.Send(out, end, cancel);
      FailStep(session, sent,
               session.Authenticated() ? "while sending the command" : "while sending the password",
               socket);
    }
    if (session.Finished()) return Ended(session.result(), commandSent);
    std::size_t received = 0;
    const bool authenticated = session.Authenticated();
    const Status status = socket.Receive(buffer, received, authenticated ? end : setup, cancel);
    if (status == Status::Ok) {
      session.Receive(std::span(buffer.data(), received));
    } else if (status == Status::Closed) {
      session.ServerClosed();
    } else {
      FailStep(session, status,
               authenticated ? "while waiting for the answer"
                             : "while waiting for the password's answer",
               socket);
    }
  }
}

RconResult RunGoldSrc(RconSocket& socket, const RconRequest& request, Clock::time_point setup,
                      Clock::time_point end, const std::atomic<bool>* cancel) {
  GoldSrcRconSession session(request.password, request.command);
  std::vector<std::uint8_t> buffer(kGoldSrcMaxDatagram);
  Clock::time_point lastDatagram{};
  std::optional<Clock::time_point> commandSent;
  for (;;) {
    const std::vector<std::uint8_t> out = session.TakeOutgoing();
    if (!out.empty()) {
      // After the challenge the datagram is the command's: the last moment to hold it back.
      if (session.CommandSent()) {
        if (Withdrawn(request)) return WithdrawnResult();
        commandSent = Clock::now();
      }
      FailStep(session, socket.Send(out, end, cancel), "while sending", socket);
    }
    if (session.Finished()) return Ended(session.result(), commandSent);
    const bool quiet = session.AnswerStarted() && lastDatagram + request.quietTime < end;
    const Clock::time_point until = !session.CommandSent() ? setup
                                    : quiet                ? lastDatagram + request.quietTime
                                                           : end;
    std::size_t received = 0;
    const Status status = socket.Receive(buffer, received, until, cancel);
    if (status == Status::Ok) {
      session.Receive(std::span(buffer.data(), received));
      if (session.AnswerStarted()) lastDatagram = Clock::now();
    } else if (status == Status::TimedOut && quiet) {
      session.QuietTimeOver();
    } else {
      FailStep(session, status,
               session.CommandSent() ? "while waiting for the answer"
                                     : "while waiting for the challenge",
               socket);
    }
  }
}

}  // namespace

RconResult RunRconExchange(const RconRequest& request, const std::atomic<bool>* cancel) {
  std::uint32_t address = 0;
  if (auto invalid = CheckRequest(request, address)) return *invalid;
  if (Withdrawn(request)) return WithdrawnResult();
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + request.timeout;
  const Clock::time_point setup = std::min(end, start + request.connectTimeout);
  RconSocket socket;
  const bool stream = request.dialect == RconDialect::Source;
  const Status connected = socket.Connect(stream, address, request.port, setup, cancel);
  if (connected != Status::Ok) return StepFailure(connected, "while connecting", socket);
  return stream ? RunSource(socket, request, setup, end, cancel)
                : RunGoldSrc(socket, request, setup, end, cancel);
}

// ------------------------------------------------------------------------ the client

struct RconClient::Job {
  RconRequest request;
  Done done;
  std::string server;       // address:port, for one exchange per server at a time
  std::uint64_t order = 0;  // when it came, among requests due at the same time
  Clock::time_point came{};

  // Earliest due first, then first come.
  bool Before(const Job& other) const {
    return request.beginBy != other.request.beginBy ? request.beginBy < other.request.beginBy
                                                    : order < other.order;
  }
};

struct RconClient::Shared {
  mutable std::mutex mutex;
  std::condition_variable wake;
  std::vector<Job> waiting;  // in no order: a queue of at most a few dozen is searched
  std::vector<std::string> busy;  // servers with an exchange running
  std::vector<std::thread> threads;
  std::vector<std::thread> retired;  // ended for want of work, joined by the next Send or the end
  std::size_t idle = 0;
  std::uint64_t arrivals = 0;
  bool stopping = false;
  std::atomic<bool> cancel{false};

  bool Running(const Job& job) const {
    return std::find(busy.begin(), busy.end(), job.server) != busy.end();
  }
  // The waiting job that runs next: of those whose server has no exchange running, the first due.
  std::vector<Job>::iterator Runnable() {
    auto best = waiting.end();
    for (auto it = waiting.begin(); it != waiting.end(); ++it)
      if (!Running(*it) && (best == waiting.end() || it->Before(*best))) best = it;
    return best;
  }
  // The requests that would run before job: those running and those waiting ahead of it.
  std::size_t Ahead(const Job& job) const {
    return busy.size() + static_cast<std::size_t>(std::count_if(waiting.begin(), waiting.end(),
                                                                [&](const Job& other) { return other.Before(job); }));
  }
  // Takes out the waiting jobs that are withdrawn or past their time, each with its answer.
  std::vector<std::pair<Done, RconResult>> TakeDropped(Clock::time_point now) {
    std::vector<std::pair<Done, RconResult>> dropped;
    for (std::size_t k = 0; k < waiting.size();) {
      const Job& job = waiting[k];
      const bool withdrawn = Withdrawn(job.request);
      if (!withdrawn && job.request.beginBy > now) {
        ++k;
        continue;
      }
      dropped.emplace_back(job.done, withdrawn ? WithdrawnResult() : NotSentInTime(job, now));
      waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(k));
    }
    return dropped;
  }
  RconResult NotSentInTime(const Job& job, Clock::time_point) const {
    // The time it was given, as its sender set it (a moment before it came here), not how late
    // the look that dropped it was.
    const auto waited = std::chrono::round<std::chrono::seconds>(job.request.beginBy - job.came);
    return Failed(RconFailure::NotSent, "not sent within " + std::to_string(waited.count()) + " s: " +
                                            std::to_string(Ahead(job)) + " requests ahead");
  }
};

RconClient::RconClient(EventLoop& loop, RconClientLimits limits)
    : loop_(loop), limits_(limits), shared_(std::make_unique<Shared>()), expiry_(std::make_unique<Timer>(loop)) {
  if (limits_.threads == 0) limits_.threads = 1;
  expiry_->OnTimer = [this] { Expire(); };
}

RconClient::~RconClient() {
  *alive_ = false;
  std::vector<std::thread> threads;
  std::vector<Job> dropped;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    shared_->cancel = true;
    threads.swap(shared_->threads);
    std::move(shared_->retired.begin(), shared_->retired.end(), std::back_inserter(threads));
    dropped.swap(shared_->waiting);
  }
  shared_->wake.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void RconClient::Send(RconRequest request, Done done) {
  std::string server = request.address + ":" + std::to_string(request.port);
  const Clock::time_point beginBy = request.beginBy;
  std::optional<Job> refused;
  std::vector<std::thread> retired;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    retired.swap(shared_->retired);
    Job job{std::move(request), std::move(done), std::move(server), shared_->arrivals++, Clock::now()};
    if (shared_->waiting.size() >= limits_.queue) {
      // Full: the latest of all is answered Busy, the new one unless an older one is due later.
      const auto latest = std::max_element(shared_->waiting.begin(), shared_->waiting.end(),
                                           [](const Job& a, const Job& b) { return a.Before(b); });
      if (latest == shared_->waiting.end() || !job.Before(*latest)) {
        refused.emplace(std::move(job));
      } else {
        refused.emplace(std::move(*latest));
        *latest = std::move(job);
      }
    } else {
      shared_->waiting.push_back(std::move(job));
    }
    if (shared_->idle == 0 && shared_->threads.size() < limits_.threads)
      shared_->threads.emplace_back([this] { Work(); });
  }
  shared_->wake.notify_all();
  for (std::thread& thread : retired) thread.join();  // each has left its loop already
  if (refused)
    Deliver(std::move(refused->done),
            Failed(RconFailure::Busy, std::to_string(limits_.queue) + " requests waiting"));
  // The timer is set for the first time a request is due; it is set afresh when it fires.
  if (beginBy < expiryAt_) {
    expiryAt_ = beginBy;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(beginBy - Clock::now());
    expiry_->SetEnabled(false);
    expiry_->SetInterval(static_cast<unsigned>(std::clamp<std::int64_t>(wait.count(), 1, 1 << 30)));
    expiry_->SetEnabled(true);
  }
}

void RconClient::Expire() {
  std::vector<std::pair<Done, RconResult>> dropped;
  Clock::time_point next = Clock::time_point::max();
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    dropped = shared_->TakeDropped(Clock::now());
    for (const Job& job : shared_->waiting) next = std::min(next, job.request.beginBy);
  }
  for (auto& [done, result] : dropped) Deliver(std::move(done), std::move(result));
  expiry_->SetEnabled(false);
  expiryAt_ = next;
  if (next == Clock::time_point::max()) return;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
  expiry_->SetInterval(static_cast<unsigned>(std::clamp<std::int64_t>(wait.count(), 1, 1 << 30)));
  expiry_->SetEnabled(true);
}

std::size_t RconClient::Pending() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->waiting.size() + shared_->busy.size();
}

std::size_t RconClient::Workers() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->threads.size();
}

void RconClient::Work() {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    ++s.idle;
    const bool woken =
        s.wake.wait_for(lock, limits_.idle, [&] { return s.stopping || s.Runnable() != s.waiting.end(); });
    --s.idle;
    if (s.stopping) return;
    if (!woken) {
      // Idle for long: this worker ends, handing its thread to be joined by someone else.
      const auto self = std::find_if(s.threads.begin(), s.threads.end(),
                                     [](const std::thread& t) { return t.get_id() == std::this_thread::get_id(); });
      s.retired.push_back(std::move(*self));
      s.threads.erase(self);
      return;
    }
    // What is due or withdrawn is answered, never run: the next runnable is looked for anew.
    if (auto dropped = s.TakeDropped(Clock::now()); !dropped.empty()) {
      lock.unlock();
      for (auto& [done, result] : dropped) Deliver(std::move(done), std::move(result));
      lock.lock();
      continue;
    }
    const auto next = s.Runnable();
    Job job = std::move(*next);
    s.waiting.erase(next);
    s.busy.push_back(job.server);
    lock.unlock();

    RconResult result = RunRconExchange(job.request, &s.cancel);

    lock.lock();
    s.busy.erase(std::find(s.busy.begin(), s.busy.end(), job.server));
    s.wake.notify_all();  // a request to the same server may run now
    if (s.stopping) return;
    lock.unlock();
    Deliver(std::move(job.done), std::move(result));
    lock.lock();
  }
}

void RconClient::Deliver(Done done, RconResult result) {
  loop_.Post([alive = alive_, done = std::move(done), result = std::move(result)] {
    if (*alive && done) done(result);
  });
}

}  // namespace tervane
