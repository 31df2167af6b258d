// The stand-in server on Windows: a console program with one UDP socket, the Source RCON
// listener on the same port number with its connections, its own top-level window of class
// "ConsoleWindowClass" (under Wine the system's console window has another class) and the
// fatal-error message box of a crashed dedicated server. Everything runs on the main thread:
// MsgWaitForMultipleObjects wakes for the sockets' one event, for window messages (other
// processes retitle, show and hide the console window) and for the next timer.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "fakesrv.h"
#include "process/params.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "support/unique_handle_win32.h"

namespace {

using namespace tervane::fakesrv;

constexpr wchar_t kConsoleClass[] = L"ConsoleWindowClass";
constexpr wchar_t kFatalCaption[] = L"Fatal error - Dedicated server";
constexpr int kMaxConsoleText = 60000;

HWND consoleWindow = nullptr;
HWND consoleText = nullptr;

void Print(const std::string& line) {
  std::printf("fakesrv: %s\n", line.c_str());
  std::fflush(stdout);
  if (!consoleText) return;
  // Keep the window's text bounded: drop the older half when it grows too long.
  const int length = GetWindowTextLengthW(consoleText);
  if (length > kMaxConsoleText) {
    SendMessageW(consoleText, EM_SETSEL, 0, length / 2);
    SendMessageW(consoleText, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
  }
  const int end = GetWindowTextLengthW(consoleText);
  const std::u16string text = tervane::FromSystem8(line) + u"\r\n";
  SendMessageW(consoleText, EM_SETSEL, end, end);
  SendMessageW(consoleText, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(tervane::W(text)));
}

LRESULT CALLBACK ConsoleProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      if (consoleText) MoveWindow(consoleText, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
      return 0;
    case WM_CLOSE:
      // Closing a console window ends the program that owns it.
      ExitProcess(0);
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void OpenConsoleWindow() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = ConsoleProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kConsoleClass;
  if (!RegisterClassExW(&windowClass)) return;

  // A console window is first titled with the program's path.
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  consoleWindow = CreateWindowExW(0, kConsoleClass, path, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 640, 360, nullptr, nullptr, instance, nullptr);
  if (!consoleWindow) return;
  RECT client{};
  GetClientRect(consoleWindow, &client);
  consoleText = CreateWindowExW(
      0, L"EDIT", L"",
      WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0,
      client.right, client.bottom, consoleWindow, nullptr, instance, nullptr);
  // The show state the starter asked for (hidden, or shown without taking the focus), as the
  // system gives it to a console program's console.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  ShowWindow(consoleWindow,
             (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWNORMAL);
}

// Window messages: sent ones (retitling, showing) are handled inside PeekMessageW.
bool PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) return false;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return true;
}

// A Source RCON connection: what waits to be written, and whether it ends once written.
struct Peer {
  tervane::UniqueSocket socket;
  std::uint64_t id = 0;
  std::vector<std::uint8_t> out;
  bool closing = false;
  bool dead = false;
};

// The Source RCON listener on the query port's number, signalling the sockets' event. Without
// it the server runs on, as the query server it has always been, and says so.
tervane::UniqueSocket OpenRconListener(const sockaddr_in& local, const std::string& where, WSAEVENT event) {
  tervane::UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!listener || bind(listener.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(listener.get(), 8) != 0 || WSAEventSelect(listener.get(), event, FD_ACCEPT) != 0) {
    Print("no Source RCON: cannot listen on tcp " + where + ": error " +
          std::to_string(WSAGetLastError()));
    listener.reset();
  }
  return listener;
}

void Flush(Peer& peer) {
  std::size_t sent = 0;
  while (sent < peer.out.size()) {
    const int n = send(peer.socket.get(), reinterpret_cast<const char*>(peer.out.data() + sent),
                       static_cast<int>(std::min<std::size_t>(peer.out.size() - sent, 65536)), 0);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() != WSAEWOULDBLOCK) peer.dead = true;
      break;
    }
    sent += static_cast<std::size_t>(n);
  }
  peer.out.erase(peer.out.begin(), peer.out.begin() + static_cast<std::ptrdiff_t>(sent));
  if (peer.out.empty() && peer.closing) peer.dead = true;
}

void ReadPeer(FakeServer& server, Peer& peer) {
  char buffer[4096];
  // A bounded number of reads, so that one busy client cannot hold the loop.
  for (int i = 0; i < 16 && !peer.closing && !peer.dead &&
                  peer.out.size() <= FakeServer::kMaxRconOutput;
       ++i) {
    const int n = recv(peer.socket.get(), buffer, sizeof buffer, 0);
    if (n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)) {
      peer.dead = true;
    } else if (n > 0) {
      FakeServer::StreamAnswer answer = server.RconStream(
          peer.id,
          std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(buffer),
                                        static_cast<std::size_t>(n)),
          MonotonicMs());
      peer.out.insert(peer.out.end(), answer.bytes.begin(), answer.bytes.end());
      if (answer.close) peer.closing = true;
    } else {
      break;
    }
  }
  Flush(peer);
  // A client that reads nothing is dropped before its answers pile up.
  if (peer.out.size() > FakeServer::kMaxRconOutput) {
    Print("dropped Source RCON connection " + std::to_string(peer.id) + ": it reads nothing");
    peer.dead = true;
  }
}

void AcceptPeers(SOCKET listener, WSAEVENT event, std::vector<Peer>& peers, std::uint64_t& nextId) {
  for (;;) {
    tervane::UniqueSocket accepted(accept(listener, nullptr, nullptr));
    if (!accepted) return;
    if (peers.size() >= FakeServer::kMaxRconConnections) {
      Print("refused a Source RCON connection: " + std::to_string(peers.size()) + " are open");
      continue;
    }
    // Also non-blocking, as the listener's selection made it.
    WSAEventSelect(accepted.get(), event, FD_READ | FD_WRITE | FD_CLOSE);
    peers.push_back(Peer{std::move(accepted), ++nextId, {}, false, false});
  }
}

std::vector<std::u16string> Arguments() {
  std::vector<std::u16string> args;
  int count = 0;
  LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!list) return args;
  for (int i = 1; i < count; ++i) {
    const std::wstring arg(list[i]);
    args.emplace_back(arg.begin(), arg.end());
  }
  LocalFree(list);
  return args;
}

int Run(Settings settings) {
  const tervane::WinsockSession winsock;
  if (!winsock.Started()) {
    Print("cannot start Windows sockets");
    return 2;
  }
  const tervane::UniqueSocket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!socket) {
    Print("cannot open a UDP socket: error " + std::to_string(WSAGetLastError()));
    return 2;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(settings.port);
  if (InetPtonA(AF_INET, settings.bindAddress.c_str(), &local.sin_addr) != 1) {
    Print("cannot listen on \"" + settings.bindAddress + "\": not an IPv4 address");
    return 2;
  }
  if (bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    Print("cannot listen on " + settings.bindAddress + ":" + std::to_string(settings.port) +
          ": error " + std::to_string(WSAGetLastError()));
    return 2;
  }
  const WSAEVENT readable = WSACreateEvent();
  WSAEventSelect(socket.get(), readable, FD_READ);
  const std::string where = settings.bindAddress + ":" + std::to_string(settings.port);
  const tervane::UniqueSocket listener = OpenRconListener(local, where, readable);
  std::vector<Peer> peers;
  std::uint64_t nextPeer = 0;

  if (settings.console) {
    OpenConsoleWindow();
    if (!consoleWindow) Print("no console window: the window could not be created");
  }
  StartIdleThreads(settings.threads);

  const std::string shown =
      (settings.bindAddress == "0.0.0.0" ? tervane::GetLocalAddress() : settings.bindAddress) +
      ":" + std::to_string(settings.port);
  Print("listening on " + where + " (pid " + std::to_string(GetCurrentProcessId()) + ", map " +
        settings.map + ", " + std::to_string(settings.players) + "/" +
        std::to_string(settings.maxPlayers) + ", answer " +
        std::string(AnswerModeName(settings.answer)) + (settings.challenge ? ", challenge" : "") +
        (settings.silent ? ", silent" : "") + ")");
  FakeServer server(std::move(settings), MonotonicMs(), NewChallenge(), GetCurrentProcessId(),
                    shown);

  char buffer[2048];
  for (;;) {
    // The lines first: whoever gets a reply finds its line already written.
    const std::vector<Outgoing> due = server.Advance(MonotonicMs());
    for (const std::string& line : server.TakeLogLines()) Print(line);
    for (const std::string& line : server.TakePrintedLines()) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
    for (const Outgoing& out : due) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(out.port);
      if (InetPtonA(AF_INET, out.address.c_str(), &to.sin_addr) != 1) continue;
      if (sendto(socket.get(), reinterpret_cast<const char*>(out.bytes.data()),
                 static_cast<int>(out.bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) == SOCKET_ERROR)
        Print("cannot send to " + out.address + ": error " + std::to_string(WSAGetLastError()));
    }
    if (server.ExitRequested()) break;
    if (const auto fatal = server.TakeFatal()) {
      // The dialog of a crashed server: its text stands in a "Static" control. While it is
      // open nothing else runs; once it is closed the server stays, answering nothing.
      MessageBoxW(nullptr, tervane::W(tervane::FromSystem8(*fatal)), kFatalCaption, MB_OK | MB_ICONERROR);
      Print("the fatal-error dialog was closed; the server hangs");
      continue;
    }

    DWORD timeout = INFINITE;
    if (const auto deadline = server.NextDeadline()) {
      const std::int64_t wait = *deadline - MonotonicMs();
      timeout = wait <= 0 ? 0 : static_cast<DWORD>(std::min<std::int64_t>(wait, 60000));
    }
    const DWORD woke = MsgWaitForMultipleObjects(1, &readable, FALSE, timeout, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0 + 1) {
      if (!PumpMessages()) break;
      continue;
    }
    if (woke != WAIT_OBJECT_0) continue;
    WSAResetEvent(readable);
    // The connections: each is read and written until the system has no more for now, which
    // re-arms its news on the one event.
    for (Peer& peer : peers) ReadPeer(server, peer);
    std::erase_if(peers, [&](const Peer& peer) {
      if (!peer.dead) return false;
      server.RconClosed(peer.id);
      return true;
    });
    if (listener) AcceptPeers(listener.get(), readable, peers, nextPeer);
    // Drain what is there, but give the timers a turn after a bounded number of datagrams.
    int read = 0;
    for (; read < 64; ++read) {
      sockaddr_in from{};
      int fromLength = sizeof from;
      const int n = recvfrom(socket.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                             &fromLength);
      if (n == SOCKET_ERROR) {
        // A datagram longer than the buffer is no query: drop it. Other errors end the turn.
        if (WSAGetLastError() == WSAEMSGSIZE) continue;
        break;
      }
      char address[INET_ADDRSTRLEN] = {};
      InetNtopA(AF_INET, &from.sin_addr, address, sizeof address);
      server.Receive(
          std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(buffer),
                                        static_cast<std::size_t>(n)),
          address, ntohs(from.sin_port), MonotonicMs());
    }
    if (read == 64) WSASetEvent(readable);
  }
  return 0;
}

}  // namespace

int main() {
  Settings settings = ParseArguments(Arguments());
  settings.environment = 'w';
  for (const std::string& warning : settings.warnings) Print(warning + " (ignored)");
  if (!settings.error.empty()) {
    Print(settings.error);
    return 2;
  }
  return Run(std::move(settings));
}
