#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "support/unique_handle_posix.h"
#include "fakesrv.h"
#include "test_host.h"

extern char** environ;

namespace tervane::fakesrv::test {
namespace {

sockaddr_in Loopback(const char* address, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

}  // namespace

void HostSocketTraits::Close(Value v) { ::close(static_cast<int>(v)); }
// A child is named by its id until it is waited for: there is no handle to close.
void HostProcessTraits::Close(Value) {}

UdpClient::UdpClient(const char* bindAddress) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  socket_.reset(fd);
  const sockaddr_in local = Loopback(bindAddress, 0);
  ok_ = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

UdpClient::~UdpClient() = default;

bool UdpClient::SendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) {
  const sockaddr_in to = Loopback("127.0.0.1", port);
  return ::sendto(static_cast<int>(socket_.get()), bytes.data(), bytes.size(), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(bytes.size());
}

bool UdpClient::SendText(std::uint16_t port, std::string_view text) {
  return SendTo(port, BuildControlDatagram(text));
}

std::optional<std::vector<std::uint8_t>> UdpClient::Receive(int timeoutMs,
                                                            std::uint16_t* fromPort) {
  pollfd p{static_cast<int>(socket_.get()), POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  std::vector<std::uint8_t> buffer(4096);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n = ::recvfrom(static_cast<int>(socket_.get()), buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  if (fromPort) *fromPort = ntohs(from.sin_port);
  return buffer;
}

std::uint16_t FreeUdpPort() {
  // The stand-in listens for Source RCON on TCP at the same number: the port must be free for
  // both.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const tervane::UniqueFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local = Loopback("127.0.0.1", 0);
    socklen_t length = sizeof local;
    if (::bind(udp.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(udp.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
      return 0;
    const tervane::UniqueFd tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::bind(tcp.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0)
      return ntohs(local.sin_port);
  }
  return 0;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& outputPath, StartOptions) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  started_ = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  if (started_) pid_ = static_cast<std::uint32_t>(pid);
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Running() { return started_ && !WaitExit(0); }

std::optional<int> ChildProcess::WaitExit(int timeoutMs) {
  if (!started_) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!exitCode_) {
    int status = 0;
    const pid_t done = ::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
    if (done == static_cast<pid_t>(pid_)) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline) break;
    SleepMs(10);
  }
  return exitCode_;
}

void ChildProcess::Kill() {
  if (!started_ || exitCode_) return;
  ::kill(static_cast<pid_t>(pid_), SIGKILL);
  WaitExit(5000);
}

int ThreadCount(std::uint32_t pid) {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end;
       !error && it != end; it.increment(error))
    ++count;
  return count;
}

std::string TempFile(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("fakesrv-test-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

bool UnderWine() { return false; }

void SleepMs(int ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  ::nanosleep(&t, nullptr);
}

}  // namespace tervane::fakesrv::test
