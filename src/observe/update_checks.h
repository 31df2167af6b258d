// How kesp learns that a game has an update, for the servers whose updates are on: the
// server's own notices in its captured output (Linux), the admin's check URL (an answer in the
// shape of the public UpToDateCheck web API) and the admin's check command (exit 10: one
// exists). It only tells; what is done about it is the monitor's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/server.h"
#include "core/update_settings.h"
#include "observe/http_client.h"
#include "support/file.h"

namespace tervane {

class EventLoop;
class ICommandRunner;
class Timer;
struct CommandEnd;

// One server as the checks see it, asked for again at every look.
struct UpdateCheckServer {
  ServerId id = 0;
  Path folder;              // its installation folder: the folder of its executable
  Path out;                 // its captured output (.out); empty on Windows
  std::string version;      // as its last info reply gave it; empty: not known yet
  std::uint32_t appId = 0;  // as its last info reply gave it; 0: not known
  UpdateSettings settings;
};

// What the checks ask of their owner. All are called on the loop's thread.
struct UpdateCheckHooks {
  // The servers to look at now.
  std::function<std::vector<UpdateCheckServer>()> servers;
  // An update exists for this server: what told, and what it said (at most 200 bytes).
  std::function<void(ServerId id, UpdateSource source, std::string detail)> available;
  // A line for the log: a check that cannot be made or failed (once per streak of failures).
  std::function<void(const std::string& line)> say;
};

// Whether any server has updates on (an UpdateCommand) and something that tells of one (a
// notice, a check URL or a check command): only then are the checks made.
bool UpdateChecksWanted(const std::vector<UpdateSettings>& settings);

// The answer of an UpdateCheckUrl. Anything but a response object whose success is true and
// whose up_to_date is a boolean is not an answer (error says why).
struct UpToDateAnswer {
  bool answered = false;
  bool upToDate = true;
  std::optional<std::int64_t> requiredVersion;
  std::string message;  // at most 200 bytes
  std::string error;
};
UpToDateAnswer ParseUpToDateAnswer(std::string_view body);

// {version} and {appid} filled in percent-encoded (an unknown app id fills in nothing).
std::string FillUpdateCheckUrl(std::string_view url, std::string_view version,
                               std::optional<std::uint32_t> appId);
// {folder} and {appid} filled in as they are (the admin quotes the folder).
std::string FillUpdateCheckCommand(std::string_view command, std::string_view folder,
                                   std::optional<std::uint32_t> appId);

class UpdateChecks {
 public:
  using Clock = std::chrono::steady_clock;
  using Transport = std::function<HttpCallResult(const HttpCall&)>;
  struct Options {
    // How often the outputs are read and the checks' times looked at; 0: only when Look is called.
    unsigned lookMs = 1000;
    std::function<Clock::time_point()> now = Clock::now;
    Transport transport = SendHttp;
    int httpTimeoutMs = 10000;
  };

  // Looks every lookMs (if not 0) on the loop's thread from now on. The runner outlives this.
  UpdateChecks(EventLoop& loop, ICommandRunner& runner, UpdateCheckHooks hooks, Options options);
  UpdateChecks(EventLoop& loop, ICommandRunner& runner, UpdateCheckHooks hooks)
      : UpdateChecks(loop, runner, std::move(hooks), Options{}) {}
  // Wakes and joins the URL checks' thread: at most the time-out of the call it is in.
  ~UpdateChecks();
  UpdateChecks(const UpdateChecks&) = delete;
  UpdateChecks& operator=(const UpdateChecks&) = delete;

  // One look now: the new lines of every output, and the checks that are due.
  void Look();

  // The most of an output read at one look (older bytes are skipped), the longest line kept
  // whole, the longest detail told.
  static constexpr std::size_t kReadLimit = 64 * 1024;
  static constexpr std::size_t kLineLimit = 4096;
  static constexpr std::size_t kDetailLimit = 200;

 private:
  struct OutputWatch {
    Path path;
    bool known = false;  // the file was there at some look: its identity and offset say where
    std::uint64_t device = 0, inode = 0, offset = 0;
    std::string partial;  // the start of a line not yet ended
    bool skipToLineEnd = false;
  };
  struct Check {
    Clock::time_point due{};
    Clock::duration every{};  // counted from the end of the last check
    bool running = false;
    bool failing = false;
  };
  struct UrlJob {
    std::string url;
    HttpCall call;
  };

  void LookAtOutput(const UpdateCheckServer& server, OutputWatch& watch);
  void UrlDone(const std::string& url, const HttpCallResult& result);
  void CommandDone(const Path& folder, const CommandEnd& end);
  void Fail(Check& check, const std::string& what, const std::string& why);
  void WorkerRun();
  // The key each server's checks go by (none: not checked now).
  std::optional<std::string> UrlOf(const UpdateCheckServer& server);
  std::optional<std::string> CommandOf(const UpdateCheckServer& server);

  EventLoop& loop_;
  ICommandRunner& runner_;
  UpdateCheckHooks hooks_;
  Options options_;
  std::unique_ptr<Timer> timer_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // posted results look at it

  std::map<ServerId, OutputWatch> outputs_;
  std::map<std::string, Check> urls_;
  std::map<Path, Check> commands_;
  std::set<ServerId> saidNoAppId_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<UrlJob> jobs_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace tervane
