// What the stand-in's process tests need of the host: a UDP client on the loopback address and
// a child process with its output in a file. One file per platform carries them out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/unique_handle.h"

namespace tervane::fakesrv::test {

// The host's socket and process handles kept as numbers; each platform's file closes them.
struct HostSocketTraits {
  using Value = std::intptr_t;
  static constexpr Value None() { return -1; }
  static constexpr bool IsValid(Value v) { return v != -1; }
  static void Close(Value v);
};
struct HostProcessTraits {
  using Value = std::intptr_t;
  static constexpr Value None() { return 0; }
  static constexpr bool IsValid(Value v) { return v != 0; }
  static void Close(Value v);
};

// A UDP socket bound to a loopback address (127.0.0.1 unless told) at a port of the system's
// choice. It sends only to 127.0.0.1.
class UdpClient {
 public:
  explicit UdpClient(const char* bindAddress = "127.0.0.1");
  ~UdpClient();
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  bool ok() const { return ok_; }
  bool SendTo(std::uint16_t port, std::span<const std::uint8_t> bytes);
  bool SendText(std::uint16_t port, std::string_view text);  // FF FF FF FF and the text
  // The next datagram that arrives within `timeoutMs`, and the port it came from.
  std::optional<std::vector<std::uint8_t>> Receive(int timeoutMs,
                                                   std::uint16_t* fromPort = nullptr);

 private:
  UniqueHandle<HostSocketTraits> socket_;
  bool ok_ = false;
};

// A port that was free on 127.0.0.1 a moment ago, for UDP and TCP alike.
std::uint16_t FreeUdpPort();

struct StartOptions {
  bool hidden = false;  // Windows: start with the show state SW_HIDE, else SW_SHOWNOACTIVATE
};

// A child process whose standard output and error go to a file; ended when destroyed.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& outputPath, StartOptions options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return started_; }
  std::uint32_t pid() const { return pid_; }
  bool Running();
  // The exit code once the process has ended within `timeoutMs`.
  std::optional<int> WaitExit(int timeoutMs);
  void Kill();

 private:
  bool started_ = false;
  std::uint32_t pid_ = 0;
  UniqueHandle<HostProcessTraits> handle_;  // Windows: the process; Linux holds none
  std::optional<int> exitCode_;
};

// The number of threads of a running process.
int ThreadCount(std::uint32_t pid);

// A file name in the temporary folder, unique to this test process.
std::string TempFile(const std::string& name);

void SleepMs(int ms);

// Whether this test runs under Wine, whose UDP sockets bound to one loopback address still
// send from 127.0.0.1.
bool UnderWine();

}  // namespace tervane::fakesrv::test
