// The running kesp's control socket: a Unix domain socket beside the list (owner only), through
// which the command line runs its commands on the running monitor instead of on the file.
// A request is one command line; the answer is its exit code and what it wrote, given at once or
// later (an RCON command waits for the server's answer, bounded). The door holds at most a few
// clients at once, within the doors' share of the descriptors (support/descriptors.h); a client
// past those, or of another user, is answered at once with why and closed.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/event_loop_posix.h"
#include "support/unique_handle_posix.h"

namespace tervane {

struct ControlAnswer {
  int code = 0;
  std::string out;
  std::string err;
};

// The socket's path for a program folder (with its trailing separator).
std::string ControlSocketPath(const std::string& programDir);

class ControlServer {
 public:
  // Runs a command for the user id of the process that sent it and hands its result to reply, at
  // once or later on the loop's thread (a reply that comes after the client was dropped goes
  // nowhere).
  using Reply = std::function<void(ControlAnswer answer)>;
  using Handler = std::function<void(const std::vector<std::string>& args, unsigned uid, Reply reply)>;

  // Listens at path, replacing a socket file left by a monitor that ended (the caller holds the
  // supervision lock, so no other monitor listens there). On failure, error says why.
  static std::unique_ptr<ControlServer> Listen(EventLoop& loop, const std::string& path, Handler handler,
                                               std::string& error);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  int Clients() const;

 private:
  struct Client;
  ControlServer(EventLoop& loop, std::string path, UniqueFd fd, Handler handler);
  void Accept();
  void Refuse(UniqueFd& fd, const std::string& why);
  void OnClient(Client& client, short revents);
  void Answer(Client& client, ControlAnswer answer);
  void Write(Client& client);
  void Drop(Client& client);

  EventLoop& loop_;
  std::string path_;
  UniqueFd fd_;
  Handler handler_;
  std::unique_ptr<DescriptorWatch> watch_;
  std::vector<std::unique_ptr<Client>> clients_;
  // With no descriptor left to accept with, the door stays shut for a moment instead of
  // being woken again at once by the waiting connections.
  Timer reopen_;
  std::uint64_t nextClient_ = 0;
  // Cleared when the server goes, for replies that come after it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The command line's side: sends args to the running monitor at path and waits for the answer
// (at most timeoutMs). Nothing when no monitor listens there; error says why when one listens
// but the exchange failed.
std::optional<ControlAnswer> CallControlSocket(const std::string& path, const std::vector<std::string>& args,
                                               int timeoutMs, std::string& error);

// The request's bytes, and the reading of them: "<count>\n" then each argument ended by a zero
// byte. Answers nothing while the request is incomplete, and sets bad on malformed bytes.
std::string EncodeControlRequest(const std::vector<std::string>& args);
std::optional<std::vector<std::string>> DecodeControlRequest(const std::string& bytes, bool& bad);

// The answer's bytes: "<code>\n", out, a zero byte, err, a zero byte.
std::string EncodeControlAnswer(const ControlAnswer& answer);
std::optional<ControlAnswer> DecodeControlAnswer(const std::string& bytes);

}  // namespace tervane
