// RCON: one console command sent to a game server and its answer read back, in the two dialects
// the servers speak, always to the server's own address and port:
//   Source RCON over TCP: packets of int32 size, int32 id, int32 type and two zero-ended strings;
//     the password first (auth), then the command; a long answer comes in several packets.
//   GoldSrc RCON over UDP: "challenge rcon" for a number, then "rcon <n> "<password>" <command>";
//     the answer comes as one or more 'l' datagrams.
//
// Three layers, each usable on its own:
//   - pure functions and sessions over bytes (packet building, the answer readers, one exchange
//     as a state machine): no sockets, no clock; unit-tested and fuzzed;
//   - RunRconExchange: one exchange over real sockets on the calling thread, every step bounded
//     by a deadline (the platform steps are RconSocket, in rcon_posix.cpp / rcon_win32.cpp);
//   - RconClient: a few worker threads (started on demand, ended when idle) that run exchanges
//     and hand each result to the loop's thread, so that the supervision never waits for a server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/expected.h"

namespace tervane {

class EventLoop;
class Timer;

// ------------------------------------------------------------------ dialect and password

enum class RconDialect { Source, GoldSrc };

// "source" or "goldsrc" (any letter case, blanks around ignored); anything else is none, which
// leaves the choice to the server's query answer.
std::optional<RconDialect> ParseRconProtocol(std::string_view value);
std::string_view RconDialectName(RconDialect dialect);

// The dialect of a server from what it answered to the query: a details reply ('m', ReplyKind
// 1 or 2) or an info reply ('I') carrying the GoldSrc protocol 48 is GoldSrc; everything else
// (an info reply of a Source server, or no reply yet) is Source. A setting wins over both.
RconDialect ChooseRconDialect(std::int16_t replyKind, int replyProtocol,
                              std::optional<RconDialect> setting);

// The password a server was started with: the value after the first "+rcon_password " in its
// run parameters (the key in any letter case), read as the server reads its arguments: blanks
// end it unless double quotes group them, and the quotes are dropped. None when the key is not
// there. 8-bit text, as it travels.
std::optional<std::string> RconPasswordFromParams(std::u16string_view params);
// That password when the parameters hold one, else the configured one.
std::string ChooseRconPassword(std::u16string_view params, std::string_view configured);

// ------------------------------------------------------------------------ results

// Why an exchange ended without its answer. NoPassword and InvalidRequest end it before any
// traffic: no password; an address that is no IPv4 address, port 0; a command that is empty,
// too long or holds a zero byte; a password too long, with a zero byte, or (GoldSrc) a quote.
enum class RconFailure {
  None,
  NoPassword,
  InvalidRequest,
  ConnectionRefused,  // nothing listens on the port (TCP refused, or an ICMP port unreachable)
  PasswordRefused,    // auth answered with id -1, or "Bad rcon_password."
  ChallengeRefused,   // GoldSrc "Bad challenge."
  Malformed,          // bytes that are no answer of the dialect
  TooLong,            // more than kRconMaxAnswer bytes, or more than kRconMaxPackets pieces
  ConnectionClosed,   // the server closed the connection before it had taken the command
  TimedOut,           // a deadline passed
  NetworkError,       // the system refused a socket step for another reason
  Busy,               // the client's queue was full: the request was not run
  Cancelled,          // the client was destroyed while the exchange ran
  // Never sent: withdrawn (the process it was meant for has ended), or still waiting when it
  // was due to have begun. The server got nothing of the command.
  NotSent,
};

// The reason's fixed text: "RCON password refused", "RCON connection refused", ...
std::string_view RconFailureText(RconFailure failure);

struct RconResult {
  RconFailure failure = RconFailure::None;
  std::string detail;  // where it failed, or the system's words ("while connecting")
  std::string answer;  // the answer joined (so far, when it failed on the way)
  // The server ended the connection after it had taken the command (a "quit" does).
  bool closedByServer = false;
  // When the command's bytes were handed to the system (from then on the server may have taken
  // it, whatever the result); none when they never were.
  std::optional<std::chrono::steady_clock::time_point> commandSent;

  bool ok() const { return failure == RconFailure::None; }
  // The fixed text, then the detail in parentheses: "RCON timed out (while connecting)".
  std::string Reason() const;
};

// ------------------------------------------------------------------------ bounds

inline constexpr std::size_t kRconMaxCommand = 1024;
inline constexpr std::size_t kRconMaxPassword = 256;
// The answer kept, in bytes; past it the exchange ends with TooLong.
inline constexpr std::size_t kRconMaxAnswer = 64 * 1024;
// Packets (Source) or datagrams (GoldSrc) read in one exchange.
inline constexpr std::size_t kRconMaxPackets = 512;
// The Source size field: at least the id, the type and two terminators; at most a full 4096-byte
// body and the rest with room to spare. Anything outside is no RCON stream.
inline constexpr std::int32_t kSourceRconMinSize = 10;
inline constexpr std::int32_t kSourceRconMaxSize = 8192;
// The largest GoldSrc datagram read; a longer one is malformed.
inline constexpr std::size_t kGoldSrcMaxDatagram = 4096;

// ------------------------------------------------------------------------ Source packets

inline constexpr std::int32_t kServerDataAuth = 3;
inline constexpr std::int32_t kServerDataAuthResponse = 2;
inline constexpr std::int32_t kServerDataExecCommand = 2;
inline constexpr std::int32_t kServerDataResponseValue = 0;

struct SourcePacket {
  std::int32_t id = 0;
  std::int32_t type = 0;
  std::string body;  // the first string, up to its zero byte
};

// size, id, type (little-endian), the body and its zero byte, the empty second string. The
// body is cut at a zero byte it may hold.
std::vector<std::uint8_t> BuildSourcePacket(std::int32_t id, std::int32_t type,
                                            std::string_view body);

// Cuts a TCP byte stream into packets, whatever pieces it arrives in. A size field outside
// kSourceRconMinSize..kSourceRconMaxSize, or a packet whose last byte is not zero, makes the
// stream malformed for good: nothing is allocated for a size before it has been checked, and
// at most one packet waits incomplete.
class SourcePacketReader {
 public:
  enum class Step { NeedMore, Packet, Malformed };
  void Append(std::span<const std::uint8_t> bytes);
  Step Next(SourcePacket& packet);

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;
  bool malformed_ = false;
};

// One Source exchange as a state machine over bytes. Outgoing first holds the auth packet;
// once the server has accepted the password, the command and an empty RESPONSE_VALUE packet
// behind it. The server answers the command in one or more RESPONSE_VALUE packets of the
// command's id and then echoes the empty packet: its echo marks the end of the answer, so the
// answer is complete without waiting for a quiet time that a slow server could overrun.
// RESPONSE_VALUE packets before the auth answer (servers send an empty one first) and packets
// of other ids are passed over.
class SourceRconSession {
 public:
  static constexpr std::int32_t kAuthId = 1;
  static constexpr std::int32_t kCommandId = 2;
  static constexpr std::int32_t kEndId = 3;

  SourceRconSession(std::string_view password, std::string_view command);

  // The bytes to write now (empty when nothing is due).
  std::vector<std::uint8_t> TakeOutgoing();
  // Bytes read from the connection.
  void Receive(std::span<const std::uint8_t> bytes);
  // The server closed the connection: before the command was taken that is a failure, after it
  // the answer read so far is the answer.
  void ServerClosed();
  // Ends the exchange with this failure unless it has ended already (a deadline, a socket error).
  void Fail(RconFailure failure, std::string detail);

  bool Authenticated() const { return phase_ != Phase::Auth; }
  bool Finished() const { return phase_ == Phase::Done; }
  const RconResult& result() const { return result_; }

 private:
  enum class Phase { Auth, Answer, Done };
  void Handle(const SourcePacket& packet);
  void Finish() { phase_ = Phase::Done; }

  std::string command_;
  SourcePacketReader reader_;
  std::vector<std::uint8_t> outgoing_;
  Phase phase_ = Phase::Auth;
  bool commandQueued_ = false;
  std::size_t packets_ = 0;
  RconResult result_;
};

// ------------------------------------------------------------------------ GoldSrc datagrams

// FF FF FF FF "challenge rcon\n".
std::vector<std::uint8_t> BuildGoldSrcChallengeRequest();
// FF FF FF FF "rcon <challenge> "<password>" <command>".
std::vector<std::uint8_t> BuildGoldSrcCommand(std::string_view challenge, std::string_view password,
                                              std::string_view command);

struct GoldSrcDatagram {
  enum class Kind { Other, Challenge, Text };
  Kind kind = Kind::Other;
  // Challenge: its decimal digits (1 to 10, at most 4294967295); Text: what follows 'l', up to
  // the first zero byte.
  std::string text;
};
// FF FF FF FF "challenge rcon <n>" (a line break, blanks or a zero byte may follow) or
// FF FF FF FF 'l' and the text; anything else is Other.
GoldSrcDatagram ReadGoldSrcDatagram(std::span<const std::uint8_t> datagram);

// One GoldSrc exchange as a state machine over datagrams. Outgoing first holds the challenge
// request, then, once the challenge came, the command. The answer is every 'l' datagram that
// follows, joined; UDP says nothing of how many will come, so the caller ends the answer when
// no datagram came for a quiet time after the last one (QuietTimeOver). An answer that begins
// "Bad rcon_password." or "Bad challenge." is the server's refusal.
class GoldSrcRconSession {
 public:
  GoldSrcRconSession(std::string_view password, std::string_view command);

  std::vector<std::uint8_t> TakeOutgoing();
  void Receive(std::span<const std::uint8_t> datagram);
  // Nothing came for the quiet time after the last datagram of the answer.
  void QuietTimeOver();
  void Fail(RconFailure failure, std::string detail);

  bool CommandSent() const { return phase_ != Phase::Challenge; }
  bool AnswerStarted() const { return datagrams_ > 0; }
  bool Finished() const { return phase_ == Phase::Done; }
  const RconResult& result() const { return result_; }

 private:
  enum class Phase { Challenge, Answer, Done };
  void Finish() { phase_ = Phase::Done; }

  std::string password_;
  std::string command_;
  std::vector<std::uint8_t> outgoing_;
  Phase phase_ = Phase::Challenge;
  std::size_t datagrams_ = 0;
  RconResult result_;
};

// ------------------------------------------------------------------ one exchange over the network

// The longest one exchange takes: RconRequest::timeout as made.
inline constexpr std::chrono::milliseconds kRconExchangeTimeout{5000};
// A door's command (kesp rcon) must have begun within this time, or it is answered NotSent: so
// its answer, the server's or "not sent", comes within kRconDoorAnswerWithin (a door waits
// longer than that, and never reports a failure for a command that may still run).
inline constexpr std::chrono::milliseconds kRconDoorBeginWithin{10000};
inline constexpr std::chrono::milliseconds kRconDoorAnswerWithin = kRconDoorBeginWithin + kRconExchangeTimeout;

// Set once the process a request was made for has ended or is about to be ended: from then on
// the request is never sent (the live-state model makes one per process of a server).
using RconWithdrawal = std::shared_ptr<std::atomic<bool>>;

struct RconRequest {
  RconDialect dialect = RconDialect::Source;
  std::string address;  // the server's own dotted IPv4 address, as its record holds it
  std::uint16_t port = 0;
  std::string password;
  std::string command;
  // Until the server has taken us on: the TCP connection and the auth answer (Source), the
  // challenge (GoldSrc).
  std::chrono::milliseconds connectTimeout{2000};
  // The whole exchange, from its start to the end of the answer.
  std::chrono::milliseconds timeout = kRconExchangeTimeout;
  // GoldSrc: the answer has ended when no datagram came for this long after the last one.
  std::chrono::milliseconds quietTime{300};
  // The process the command is meant for: once this is set, it is not sent (none: any).
  RconWithdrawal withdrawn;
  // The exchange must have begun by then; a request still waiting is answered NotSent, never
  // run later. Requests with earlier times go first.
  std::chrono::steady_clock::time_point beginBy = std::chrono::steady_clock::time_point::max();
};

// Whether the request was withdrawn.
inline bool Withdrawn(const RconRequest& request) { return request.withdrawn && request.withdrawn->load(); }

// Runs one exchange on the calling thread, which it blocks for at most request.timeout (and
// about 50 ms more once cancel is set: the waits look at it that often). A withdrawn request is
// answered NotSent, looked at before connecting and again right before the command's bytes go
// (after the password's answer or the challenge).
RconResult RunRconExchange(const RconRequest& request, const std::atomic<bool>* cancel = nullptr);

// The socket of one exchange: one socket to one server, non-blocking underneath, each call
// waiting at most until its deadline and giving up when cancel is set. The loops, the waits in
// slices and what an error means are the same on every platform (rcon.cpp); the system calls
// are the platform half's (rcon_posix.cpp, rcon_win32.cpp).
class RconSocket {
 public:
  enum class Status { Ok, TimedOut, Cancelled, Refused, Closed, TooBig, Failed };
  using Deadline = std::chrono::steady_clock::time_point;

  RconSocket();
  ~RconSocket();
  RconSocket(const RconSocket&) = delete;
  RconSocket& operator=(const RconSocket&) = delete;

  // A TCP connection (stream) or a connected UDP socket to address (host byte order) and port.
  Status Connect(bool stream, std::uint32_t address, std::uint16_t port, Deadline deadline,
                 const std::atomic<bool>* cancel);
  // All of bytes (one datagram for UDP).
  Status Send(std::span<const std::uint8_t> bytes, Deadline deadline,
              const std::atomic<bool>* cancel);
  // What is there, at most buffer's size (one datagram for UDP; a longer one is TooBig). A TCP
  // connection that the server closed or reset is Closed; a refused UDP port is Refused.
  Status Receive(std::span<std::uint8_t> buffer, std::size_t& received, Deadline deadline,
                 const std::atomic<bool>* cancel);
  // The system's words for the last Failed step.
  std::string ErrorText() const;

 private:
  // What one try of a system call did: Blocked when it would have had to wait (a connection
  // under way, a full or empty buffer), Failed when the system refused it for the reason that
  // LastError() gives right after.
  enum class Try { Done, Blocked, Failed };
  // What an error code means to the exchange.
  enum class ErrorClass { Refused, Reset, TooBig, Other };

  // Until the socket is writable (or readable), the deadline passes or cancel is set.
  Status Wait(bool write, Deadline deadline, const std::atomic<bool>* cancel);
  Status FromError(int code);

  // The platform half.
  struct Platform;
  struct PlatformDeleter {
    void operator()(Platform* platform) const;
  };
  void StartPlatform();
  // A non-blocking TCP (stream_) or UDP socket.
  [[nodiscard]] bool OpenSocket();
  [[nodiscard]] Try StartConnect(std::uint32_t address, std::uint16_t port);
  [[nodiscard]] Try SendSome(std::span<const std::uint8_t> bytes, std::size_t& sent);
  // A datagram longer than buffer may tell its whole length in received.
  [[nodiscard]] Try ReceiveSome(std::span<std::uint8_t> buffer, std::size_t& received);
  // Waits at most slice for the socket to become writable (or readable) or to fail: Done when
  // it did (a failure is reported by the next call), Blocked when the slice passed.
  [[nodiscard]] Try WaitSlice(bool write, std::chrono::milliseconds slice);
  // The error the socket holds, which reading clears (0 when none), or the system's error of
  // the reading.
  [[nodiscard]] Expected<int> ReadSocketError();
  // An error the socket holds that no call on it would report, looked at before every slice;
  // 0 when none.
  [[nodiscard]] int HeldError();
  [[nodiscard]] static int LastError();
  [[nodiscard]] static ErrorClass ClassOf(int code);

  std::unique_ptr<Platform, PlatformDeleter> platform_;
  bool stream_ = false;
  int error_ = 0;  // of the last Failed step
};

// ------------------------------------------------------------------ the client for the loop

struct RconClientLimits {
  std::size_t threads = 8;  // exchanges at once (started when first needed)
  std::size_t queue = 64;   // requests waiting beyond those; more are answered Busy
  // A worker with nothing to run for this long ends; the next request starts one again.
  std::chrono::milliseconds idle = std::chrono::seconds(60);
};

// Runs requests on worker threads of its own and hands every result back to the loop's thread.
// One exchange per server (address and port) at a time, so that a slow or hostile server holds
// one worker at most; of the requests that can run, the one due to begin first goes first
// (a stop or a door's command before a warning), ties in the order they came. A request still
// waiting at its beginBy is answered NotSent at that time (a timer on the loop: no thread
// wakes for it), one withdrawn is answered NotSent when its turn comes; neither is ever sent.
// A full queue makes room for an earlier request by answering the latest one Busy. Made and
// destroyed on the loop's thread, before the loop is destroyed. Destroying it cancels what runs
// (within about 50 ms), drops what waits, and no callback comes after it.
class RconClient {
 public:
  using Done = std::function<void(const RconResult& result)>;

  explicit RconClient(EventLoop& loop, RconClientLimits limits = {});
  ~RconClient();
  RconClient(const RconClient&) = delete;
  RconClient& operator=(const RconClient&) = delete;

  // Queues the request; done runs later on the loop's thread, never inside Send, exactly once
  // while the client lives (with Busy when the queue was full).
  void Send(RconRequest request, Done done);

  // Requests waiting or running.
  std::size_t Pending() const;
  // Worker threads alive now (none once all have been idle for the idle time).
  std::size_t Workers() const;

 private:
  struct Shared;
  struct Job;
  void Work();
  void Deliver(Done done, RconResult result);
  // Answers the waiting requests that are due or withdrawn, and sets the timer for the next due.
  void Expire();

  EventLoop& loop_;
  RconClientLimits limits_;
  std::unique_ptr<Shared> shared_;
  std::unique_ptr<Timer> expiry_;
  std::chrono::steady_clock::time_point expiryAt_ = std::chrono::steady_clock::time_point::max();
  // Cleared by the destructor on the loop's thread; a delivery checks it there before calling.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tervane
