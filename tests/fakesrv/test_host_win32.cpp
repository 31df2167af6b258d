#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <filesystem>

#include "fakesrv.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "support/unique_handle_win32.h"
#include "test_host.h"

namespace tervane::fakesrv::test {
namespace {

struct Sockets {
  Sockets() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};

void EnsureSockets() { static Sockets sockets; }

sockaddr_in Loopback(const char* address, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  InetPtonA(AF_INET, address, &a.sin_addr);
  return a;
}

std::wstring Wide(const std::string& text) { return W(Utf8ToUtf16(text)); }

// The build gives the program's path as the host sees it; under Wine a Unix path is on Z:.
std::wstring WindowsPath(const std::string& path) {
  std::wstring out = Wide(path);
  if (!out.empty() && out[0] == L'/') {
    for (wchar_t& c : out)
      if (c == L'/') c = L'\\';
    out = L"Z:" + out;
  }
  return out;
}

std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find(L' ') == std::wstring::npos) return arg;
  return L"\"" + arg + L"\"";
}

}  // namespace

void HostSocketTraits::Close(Value v) { closesocket(static_cast<SOCKET>(v)); }
void HostProcessTraits::Close(Value v) { CloseHandle(reinterpret_cast<HANDLE>(v)); }

UdpClient::UdpClient(const char* bindAddress) {
  EnsureSockets();
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  socket_.reset(static_cast<std::intptr_t>(s));
  const sockaddr_in local = Loopback(bindAddress, 0);
  ok_ = bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

UdpClient::~UdpClient() = default;

bool UdpClient::SendTo(std::uint16_t port, std::span<const std::uint8_t> bytes) {
  const sockaddr_in to = Loopback("127.0.0.1", port);
  return sendto(static_cast<SOCKET>(socket_.get()), reinterpret_cast<const char*>(bytes.data()),
                static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof to) == static_cast<int>(bytes.size());
}

bool UdpClient::SendText(std::uint16_t port, std::string_view text) {
  return SendTo(port, BuildControlDatagram(text));
}

std::optional<std::vector<std::uint8_t>> UdpClient::Receive(int timeoutMs,
                                                            std::uint16_t* fromPort) {
  const SOCKET s = static_cast<SOCKET>(socket_.get());
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return std::nullopt;
  std::vector<std::uint8_t> buffer(4096);
  sockaddr_in from{};
  int length = sizeof from;
  const int n = recvfrom(s, reinterpret_cast<char*>(buffer.data()),
                         static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&from),
                         &length);
  if (n == SOCKET_ERROR) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  if (fromPort) *fromPort = ntohs(from.sin_port);
  return buffer;
}

std::uint16_t FreeUdpPort() {
  EnsureSockets();
  // The stand-in listens for Source RCON on TCP at the same number: the port must be free for
  // both.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const UniqueSocket udp(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    sockaddr_in local = Loopback("127.0.0.1", 0);
    int length = sizeof local;
    const bool bound = bind(udp.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                       getsockname(udp.get(), reinterpret_cast<sockaddr*>(&local), &length) == 0;
    const UniqueSocket tcp(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const bool free = bound && bind(tcp.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    if (!bound) return 0;
    if (free) return ntohs(local.sin_port);
  }
  return 0;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& outputPath, StartOptions options) {
  const std::wstring path = WindowsPath(program);
  std::wstring line = L"\"" + path + L"\"";
  for (const std::string& a : args) line += L" " + Quoted(Wide(a));

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const UniqueKernelHandle output(
      CreateFileW(Wide(outputPath).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(options.hidden ? SW_HIDE : SW_SHOWNOACTIVATE);
  if (output) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
  }
  PROCESS_INFORMATION info{};
  started_ = CreateProcessW(nullptr, line.data(), nullptr, nullptr, static_cast<bool>(output), 0, nullptr,
                            nullptr, &startup, &info) != 0;
  if (!started_) return;
  const UniqueKernelHandle thread(info.hThread);
  handle_.reset(reinterpret_cast<std::intptr_t>(info.hProcess));
  pid_ = info.dwProcessId;
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Running() { return started_ && !WaitExit(0); }

std::optional<int> ChildProcess::WaitExit(int timeoutMs) {
  if (!started_ || exitCode_) return exitCode_;
  const HANDLE process = reinterpret_cast<HANDLE>(handle_.get());
  if (WaitForSingleObject(process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  exitCode_ = static_cast<int>(code);
  return exitCode_;
}

void ChildProcess::Kill() {
  if (!started_ || exitCode_) return;
  TerminateProcess(reinterpret_cast<HANDLE>(handle_.get()), 137);
  WaitExit(5000);
}

int ThreadCount(std::uint32_t pid) {
  const UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    if (entry.th32OwnerProcessID == pid) ++count;
  return count;
}

std::string TempFile(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("fakesrv-test-" + std::to_string(GetCurrentProcessId()) + "-" + name))
      .string();
}

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace tervane::fakesrv::test
