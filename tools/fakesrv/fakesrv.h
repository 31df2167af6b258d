// The stand-in dedicated game server: what it reads from its command line, the replies it builds
// and the control commands it obeys. The platform files own the socket, the clock, the windows
// and the output; everything they do is asked for here, so it can be tested without them.
//
// Command line (switch names in any letter case; the first occurrence counts; a value is the
// next argument; anything else is ignored, so a real server's line works as it is):
//   +ip <addr>  -port <n>  +port <n>   where it listens, read as the watchdog reads them;
//                                      no "+ip": 127.0.0.1; default port 27015
//   -game <folder>  +map <name>  +maxplayers <n>  +hostname <name>
//   -fakesrv.name <text>        -fakesrv.map <name>        -fakesrv.folder <name>
//   -fakesrv.description <text> -fakesrv.version <text>    -fakesrv.appid <0..65535>
//   -fakesrv.app-id <0..16777215>  the app id, in the reply's short field (its low 16 bits)
//                               and in the extra data's game id
//   -fakesrv.version-file <path>  the version is this file's first line, read at each info
//                               reply (so that an update command can change it); unreadable
//                               or empty: -fakesrv.version
//   -fakesrv.notice <text> -fakesrv.notice-after <ms>  the text printed once as a line of its
//                               own on the output, this long after the start
//   -fakesrv.players <0..255>   -fakesrv.maxplayers <0..255>  -fakesrv.bots <0..255>
//   -fakesrv.protocol <0..255>  -fakesrv.vac
//   -fakesrv.answer info|details|both|none   which queries get a reply (default both)
//   -fakesrv.challenge          an info query must carry the challenge of an 'A' reply
//   -fakesrv.silent             no query gets a reply
//   -fakesrv.delay <ms>         every query reply waits this long (0..600000)
//   -fakesrv.exit-after <ms>    the process ends by itself (exit code 0)
//   -fakesrv.fatal <text>       the fatal error, -fakesrv.fatal-after <ms> after the start
//                               (Windows: the "Fatal error - Dedicated server" message box)
//   -fakesrv.console / -fakesrv.noconsole   the console window (Windows; on by default)
//   -fakesrv.threads <0..64>    extra idle threads
//   +rcon_password <text>       the RCON password; without it every RCON password is refused
//   -fakesrv.rcon normal|garbage|silent   how RCON is answered (default normal)
//   -fakesrv.quitdelay <ms>     an RCON "quit" ends the process this long after it came
//   -fakesrv.ignorequit         an RCON "quit" is answered but changes nothing
// The stand-in's own switches win over the real ones of the same meaning.
//
// RCON, both dialects on its port: Source RCON over TCP (a listener on the same port number) and
// GoldSrc "challenge rcon" / "rcon" datagrams on the UDP port. Commands: "say <text>" (the text
// is recorded), "status" (with a line "players : N humans, B bots (M max)"), "quit" / "exit",
// "fakesrv.long <n>" (an answer of n bytes, LongAnswer(n), so that it comes in several packets
// or datagrams); anything else answers "Unknown command".
//
// Control datagrams, FF FF FF FF and the text, obeyed from 127.0.0.1 only and answered with
// FF FF FF FF "fakesrv ok", "fakesrv error <why>" or the status line:
//   fakesrv ping | status | silent | answer [info|details|both|none] | delay <ms> |
//   players <n> | maxplayers <n> | bots <n> | protocol <n> | challenge on|off | map <name> |
//   name <text> | fatal [<text>] | exit | rcon normal|garbage|silent |
//   said   (the recorded say texts, oldest first: "fakesrv said <count>" and one line each) |
//   notice <text>  (the text printed as a line of its own on the output, as a game's notice)
// After a fatal error the server answers no query again, but still obeys control datagrams
// (on Windows once its message box is closed: while it is open the server does nothing).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/rcon.h"

namespace tervane::fakesrv {

enum class AnswerMode { Info, Details, Both, None };
// How RCON is answered: properly, with bytes of no RCON dialect, or not at all.
enum class RconMode { Normal, Garbage, Silent };

// Everything the command line sets. Texts are 8-bit (the system code page on Windows, UTF-8 on
// Linux), as they travel in the replies.
struct Settings {
  std::string name = "Tervane stand-in server";
  std::string map = "de_dust2";
  std::string folder = "cstrike";
  std::string description = "Counter-Strike";
  std::string version = "1.0.0.0";
  std::uint32_t appId = 10;  // 24 bits at most
  std::string versionFile;   // read at each info reply when given
  int players = 0;
  int maxPlayers = 32;
  int bots = 0;
  int protocol = 48;
  bool vac = false;
  char environment = 'l';  // 'l' Linux, 'w' Windows: set by the platform file

  AnswerMode answer = AnswerMode::Both;
  bool challenge = false;
  bool silent = false;
  int delayMs = 0;
  std::optional<int> exitAfterMs;        // end the process this long after the start
  std::optional<std::string> fatalText;  // the fatal error to show ...
  int fatalAfterMs = 0;                  // ... this long after the start
  bool console = true;  // the console window (Windows)
  int threads = 0;      // extra idle threads
  std::optional<std::string> notice;  // printed once, noticeAfterMs after the start
  int noticeAfterMs = 0;

  std::optional<std::string> rconPassword;  // none: RCON refused
  RconMode rcon = RconMode::Normal;
  int quitDelayMs = 0;
  bool ignoreQuit = false;

  std::string bindAddress = "0.0.0.0";  // every address, as a real server without "+ip"
  std::uint16_t port = 27015;

  std::vector<std::string> warnings;  // switches that were not understood; the server runs on
  std::string error;                  // a reason the server cannot run at all
};

// Reads the arguments that follow the program's name, as a game server reads its run
// parameters: the address and port with the watchdog's own readers ("+ip ", "-port ",
// "+port "), the real switches "-game", "+map", "+maxplayers" and "+hostname", and the
// stand-in's own "-fakesrv.*" switches, which win over the real ones. The first occurrence
// of a switch counts; switches it does not know are ignored.
Settings ParseArguments(const std::vector<std::u16string>& args);

// The arguments as one parameter line: joined by blanks, an argument with a blank in double
// quotes, so the watchdog's readers see what the watchdog itself was given.
std::u16string JoinArguments(const std::vector<std::u16string>& args);

// The replies, byte for byte. `address` of the details reply is "ip:port".
std::vector<std::uint8_t> BuildInfoReply(const Settings& settings);
std::vector<std::uint8_t> BuildDetailsReply(const Settings& settings, std::string_view address);
std::vector<std::uint8_t> BuildChallengeReply(std::uint32_t challenge);
// A control datagram or the answer to one: FF FF FF FF and the text.
std::vector<std::uint8_t> BuildControlDatagram(std::string_view text);
// The answer of "fakesrv.long <n>": n bytes of lines of the alphabet.
std::string LongAnswer(std::size_t n);

// A datagram to send: always to the sender of the datagram that caused it.
struct Outgoing {
  std::vector<std::uint8_t> bytes;
  std::string address;
  std::uint16_t port = 0;
  std::string logLine;  // written when it is sent
};

// The server's state between datagrams. Times are milliseconds of one monotonic clock.
class FakeServer {
 public:
  // `challenge` is the value a challenged client must send back; `processId` is shown by
  // "fakesrv status"; `detailsAddress` is the "ip:port" of the details reply.
  FakeServer(Settings settings, std::int64_t startMs, std::uint32_t challenge,
             std::uint32_t processId, std::string detailsAddress);

  // One received datagram and its sender.
  void Receive(std::span<const std::uint8_t> data, std::string_view senderAddress,
               std::uint16_t senderPort, std::int64_t nowMs);

  // What is due by `nowMs`, in the order it fell due; also fires the exit and fatal timers.
  std::vector<Outgoing> Advance(std::int64_t nowMs);

  // The earliest moment Advance has something to do, or none.
  std::optional<std::int64_t> NextDeadline() const;

  // Lines for the output, oldest first; taking them empties the list.
  std::vector<std::string> TakeLogLines();
  // Lines for the output as they are, without the stand-in's prefix (the notices).
  std::vector<std::string> TakePrintedLines();

  // A fatal error to show now (once per fatal error).
  std::optional<std::string> TakeFatal();

  // Source RCON: the bytes one TCP connection brought. Answers what to send back on it, and
  // whether to close it once that is sent (its stream was no RCON).
  struct StreamAnswer {
    std::vector<std::uint8_t> bytes;
    bool close = false;
  };
  StreamAnswer RconStream(std::uint64_t connection, std::span<const std::uint8_t> data,
                          std::int64_t nowMs);
  // The connection is gone: its state is dropped.
  void RconClosed(std::uint64_t connection);

  bool ExitRequested() const { return exitRequested_; }
  bool Crashed() const { return crashed_; }
  const Settings& settings() const { return settings_; }
  std::size_t PendingCount() const { return pending_.size(); }

  // Replies waiting for their time; more are dropped, so a flood cannot eat the memory.
  static constexpr std::size_t kMaxPending = 256;
  // Source RCON connections served at once (the platform closes more at once), say texts kept
  // (the oldest go) and their length, the longest "fakesrv.long" answer.
  static constexpr std::size_t kMaxRconConnections = 16;
  static constexpr std::size_t kMaxSaid = 16;
  static constexpr std::size_t kMaxSaidLength = 200;
  static constexpr std::size_t kMaxLongAnswer = 128 * 1024;
  // What one Source RCON connection may have waiting to be sent; a client that sends more
  // commands than it reads answers is dropped past it.
  static constexpr std::size_t kMaxRconOutput = 1 << 20;
  // The longest version a version file gives, and the longest notice printed.
  static constexpr std::size_t kMaxVersion = 200;
  static constexpr std::size_t kMaxNotice = 1000;

 private:
  struct Pending {
    std::int64_t dueMs;
    std::uint64_t order;
    Outgoing out;
  };

  void Queue(Outgoing out, std::int64_t dueMs);
  void Reply(std::vector<std::uint8_t> bytes, std::string_view address, std::uint16_t port,
             std::int64_t nowMs, std::string logLine);
  void Control(std::string_view command, std::string_view address, std::uint16_t port,
               std::int64_t nowMs);
  void Fatal(std::string text);
  void Log(std::string line);
  void Notice(std::string_view text);
  // The settings with the version file's version, when it has one.
  Settings ForInfoReply() const;
  std::string Status() const;
  // RCON: one command and its answer text.
  std::string RconCommand(std::string_view command, std::int64_t nowMs);
  // A GoldSrc "challenge rcon" or "rcon" datagram (the text after FF FF FF FF); false when the
  // datagram is neither.
  bool GoldSrcRcon(std::string_view text, std::string_view address, std::uint16_t port,
                   std::int64_t nowMs);
  std::string RconStatus() const;

  Settings settings_;
  std::int64_t startMs_;
  std::uint32_t challenge_;
  std::uint32_t processId_;
  std::string detailsAddress_;

  std::vector<Pending> pending_;
  std::uint64_t nextOrder_ = 0;
  std::vector<std::string> log_;
  std::vector<std::string> printed_;
  bool noticeDone_ = false;
  std::optional<std::string> fatalToShow_;
  bool fatalTimerDone_ = false;
  bool crashed_ = false;
  bool exitRequested_ = false;
  std::optional<std::int64_t> quitAtMs_;  // an RCON quit ends the process then

  struct RconConnection {
    SourcePacketReader reader;
    bool authenticated = false;
  };
  std::map<std::uint64_t, RconConnection> rconConnections_;
  std::deque<std::string> said_;

  std::uint64_t infoQueries_ = 0;
  std::uint64_t detailsQueries_ = 0;
  std::uint64_t answered_ = 0;
  std::uint64_t dropped_ = 0;
};

// Starts `count` threads that only wait, so that settings applied to every thread of the
// process can be observed on more than one.
void StartIdleThreads(int count);

// A challenge value a client cannot guess and never mistakes for "no challenge" (0 or -1).
std::uint32_t NewChallenge();

// "info", "details", "both" or "none".
std::string_view AnswerModeName(AnswerMode mode);

// Milliseconds of a monotonic clock, the time base of FakeServer.
std::int64_t MonotonicMs();

}  // namespace tervane::fakesrv
