// The supervision's UDP port as the supervision sees it: it opens and closes, sends datagrams
// to an address and port, and tells on the loop's thread that datagrams wait, which the
// handler then reads. TVelUDP is the port over a real socket; the supervision's unit tests
// hand in one held in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace tervane {

// One datagram to send in a batch: its bytes (kept by the caller until sent) and where to.
struct OutgoingDatagram {
  const void* data = nullptr;
  int length = 0;
  std::uint32_t address = 0;  // host byte order
  std::uint16_t port = 0;
};

class IDatagramPort {
 public:
  using ReceiveEvent = std::function<void(IDatagramPort& sender)>;

  virtual ~IDatagramPort() = default;

  // Open binds LocalPort (0: the system chooses, and LocalPort then holds its choice); a
  // failure leaves the port inactive. Close keeps LocalPort, so a later Open binds it again.
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual bool Active() const = 0;
  virtual int LocalPort() const = 0;
  // The receive buffer asked for, in bytes, so that a burst of replies fits (see TVelUDP).
  virtual void SetReceiveBufferSize(int bytes) = 0;
  // One datagram to a host-byte-order address (0xFFFFFFFF is the broadcast): the bytes sent,
  // -1 when the system's send fails, 0 when nothing was sent (inactive).
  virtual int SendBufferTo(const void* buf, int len, std::uint32_t address, std::uint16_t port) = 0;
  // Each datagram as SendBufferTo would send it, in order; one that fails is left out.
  virtual void SendBatch(std::span<const OutgoingDatagram> datagrams) = 0;
  // Reads one waiting datagram of at most size bytes, never waiting: its length, or -1 when
  // none waits (or inactive).
  virtual int ReceiveWaiting(void* buf, int size, std::uint32_t& fromAddress, std::uint16_t& fromPort) = 0;
  // The news of waiting datagrams paused (they wait meanwhile) or given again.
  virtual void SetReceiveNews(bool on) = 0;

  // Datagrams wait: read them. Called on the loop's thread.
  ReceiveEvent OnReceive;
};

}  // namespace tervane
