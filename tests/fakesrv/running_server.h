// One stand-in server process for a test: on a free port of 127.0.0.1, its output in a file of
// its own, ended when the test is over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "test_host.h"

namespace tervane::fakesrv::test {

using Bytes = std::vector<std::uint8_t>;

// How long a reply that should come may take (a first Wine start is slow), and how long the
// tests listen for one that should not come.
inline constexpr int kReplyMs = 5000;
inline constexpr int kSilenceMs = 500;
inline constexpr int kStartMs = 30000;

class RunningServer {
 public:
  // Starts the stand-in with "+ip 127.0.0.1 -port <free port>" after `args`.
  explicit RunningServer(std::vector<std::string> args, StartOptions options = {},
                         bool withAddress = true);
  ~RunningServer();
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  std::uint16_t port() const { return port_; }
  ChildProcess& process() { return process_; }

  // Pings until the server answers, within kStartMs.
  bool WaitReady();
  // Sends `bytes` from `client` and waits for one datagram back.
  std::optional<Bytes> Ask(UdpClient& client, const Bytes& bytes, int timeoutMs = kReplyMs);
  // A control command and its answer text ("" when none came).
  std::string Command(const std::string& text, int timeoutMs = kReplyMs);
  // What the server wrote so far.
  std::string Output() const;

 private:
  std::uint16_t port_;
  std::string outputPath_;
  UdpClient control_;
  ChildProcess process_;
};

std::string AfterHeader(const Bytes& bytes);  // the text after FF FF FF FF

}  // namespace tervane::fakesrv::test
