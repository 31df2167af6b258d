// TVelUDP: the program's one IPv4 UDP endpoint, the supervision's port over a socket. It sends
// datagrams to any address and port and delivers its socket news as events on the loop's
// thread, so that its handlers may touch the server list directly. Its own error texts are GBK
// (code page 936) bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "net/datagram_port.h"
#include "support/expected.h"

namespace tervane {

class EventLoop;

// A socket error that no OnError handler suppressed. Its text is the GBK message, then
// "，错误码：" and the error code in decimal.
class EError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The value of the dotted-IPv4 conversion for a text it rejects (also the value of
// "255.255.255.255").
inline constexpr std::uint32_t kAddressNone = 0xFFFFFFFF;

// The standard dotted-IPv4 conversion: one to four parts separated by '.', each decimal, octal
// (leading 0) or hexadecimal (leading 0x); "a.b.c.d", "a.b.c" (c 16 bits), "a.b" (b 24 bits),
// "a" (32 bits); a blank or control character ends the text. Answers the address in host
// byte order (127.0.0.1 is 0x7F000001), or kAddressNone.
std::uint32_t ParseDottedIPv4(std::string_view text);

// The destination rule of a query: a text the conversion rejects is refused,
// except exactly "255.255.255.255" (the broadcast address, whose value equals the failure
// value). On acceptance address holds the host-byte-order address.
bool ConvertDestination(std::string_view text, std::uint32_t& address);

// Dotted text of a host-byte-order IPv4 address.
std::string FormatDottedIPv4(std::uint32_t address);

// The supervision's port over a real socket.
class TVelUDP final : public IDatagramPort {
 public:
  using TErrorEvent = std::function<void(TVelUDP& sender, const std::string& msg, int& errorCode)>;

  // The owner is the loop whose thread delivers the events; the endpoint is created on that
  // thread and destroyed before the loop. Raises EError when the socket library cannot be
  // started.
  explicit TVelUDP(EventLoop& owner);
  // Closes an open socket.
  ~TVelUDP() override;
  TVelUDP(const TVelUDP&) = delete;
  TVelUDP& operator=(const TVelUDP&) = delete;

  bool Active() const override { return active_; }
  // 0 lets the system choose; after Open it holds the port actually bound.
  int LocalPort() const override { return localPort_; }
  // Refused while active (reported with error code -1).
  void SetLocalPort(int value);

  // The receive buffer asked of the system, in bytes, so that a burst of replies fits: asked
  // for on Open, and at once when changed while active. 0 leaves the system's own. It never
  // shrinks the buffer the system gave, and a limit of the system is taken silently: it can
  // never make Open fail.
  int ReceiveBufferSize() const { return receiveBufferSize_; }
  void SetReceiveBufferSize(int bytes) override;
  // The receive buffer the system reports for the socket, in bytes; 0 when inactive.
  int ReceiveBufferGranted();

  // Creates, binds and starts notifying; a failure is reported and leaves it inactive.
  void Open() override;
  // Closes the socket. LocalPort keeps its value.
  void Close() override;

  // Sends the bytes to the address (host byte order) and port, no text made or read: the
  // bytes sent, -1 when the system's send fails, 0 when nothing was sent (inactive).
  int SendBufferTo(const void* buf, int len, std::uint32_t address, std::uint16_t port) override;
  // Sends each datagram as SendBufferTo would, in order, with as few calls into the system as
  // it allows (Linux: sendmmsg); one that fails is left out and the rest still go.
  void SendBatch(std::span<const OutgoingDatagram> datagrams) override;
  // Reads one waiting datagram of at most size bytes into buf (the rest of a longer one is lost),
  // zeroing nothing and never waiting: its length, or -1 when none waits (or the read failed,
  // or inactive). A reader that takes every waiting datagram calls it until -1, without asking
  // the size of each first.
  int ReceiveWaiting(void* buf, int size, std::uint32_t& fromAddress, std::uint16_t& fromPort) override;
  // Readable news paused (the datagrams wait in the socket, as far as its buffer holds them) or
  // given again; given after every Open. Where the system cannot pause it (Windows) the news
  // keeps coming, which a reader of every waiting datagram takes the same.
  void SetReceiveNews(bool on) override;

  // OnReceive (the port's): a datagram is waiting. One call is meant for one read at least; a
  // call that reads nothing leaves the socket silent until the next read (Windows) or drops
  // that datagram (Linux, where readiness would otherwise call again at once).
  TErrorEvent OnError;

 private:
  enum class Failure {
    Startup,
    Cleanup,
    CreateSocket,
    Bind,
    ReceiveNotification,
    SendNotification,
    LocalPortWhileActive,
  };
  enum class Event { Readable, Writable, Other };

  // The one reporting step: OnError with the message and "。", then EError unless the
  // handler set the code to 0.
  void ReportError(Failure failure, int errorCode);
  // Like ReportError, but never raises: for the destructor.
  void ReportErrorQuietly(Failure failure, int errorCode) noexcept;
  // One socket notification: an error is reported, otherwise a readable one calls OnReceive.
  void Notify(Event event, int errorCode);

  // The platform halves.
  struct Platform;
  struct PlatformDeleter {
    void operator()(Platform* platform) const;
  };
  void StartPlatform();
  void StopPlatform() noexcept;
  // The steps of Open, in its order, each failing with the system's error; the socket is the
  // platform half's own, and CloseSocket closes it whatever the step.
  [[nodiscard]] Expected<void> CreateSocket();
  // Broadcast allowed, bound to LocalPort on every interface.
  [[nodiscard]] Expected<void> BindSocket();
  // The port the system chose, or 0.
  [[nodiscard]] int BoundPort();
  // Asks for a receive buffer of this many bytes (beyond the system's ordinary limit where the
  // process may); a refusal is ignored.
  void RequestReceiveBuffer(int bytes);
  // The size the system reports, or 0.
  int GrantedReceiveBuffer();
  // Readable news on or off for the open socket.
  void WatchReadable(bool on);
  // The receive-buffer request of Open and of the setter: only ever grows the buffer.
  void ApplyReceiveBuffer();
  // Non-blocking, with its news delivered through the owner's loop.
  void WatchSocket();
  void CloseSocket();
  // One datagram out or in, on the open socket (only called while active): the bytes, or -1.
  int SendTo(const void* buf, int len, std::uint32_t address, std::uint16_t port);
  // Several out at once, each as SendTo.
  void SendMany(std::span<const OutgoingDatagram> datagrams);
  int ReceiveFrom(void* buf, int size, std::uint32_t& address, std::uint16_t& port);

  EventLoop& owner_;
  std::unique_ptr<Platform, PlatformDeleter> platform_;
  bool active_ = false;
  int localPort_ = 0;
  int receiveBufferSize_ = 0;
  // Counts reads, so that the platform half can tell whether a receive handler read anything.
  std::uint64_t reads_ = 0;
  // Cleared by the destructor: a dispatch that called a handler checks it before going on.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tervane
