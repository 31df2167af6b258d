// A UDP port held in memory for the supervision's unit tests: what it sends is handed to the
// test, what the test hands in waits and is told through the loop as a socket's news would be,
// and a datagram to its own address and port comes back to it (the self-test echo).
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "net/datagram_port.h"
#include "support/event_loop.h"

namespace tervane::testing {

class FakeDatagramPort final : public IDatagramPort {
 public:
  static constexpr std::uint32_t kLoopback = 0x7F000001;
  struct Datagram {
    std::vector<std::uint8_t> bytes;
    std::uint32_t address = kLoopback;
    std::uint16_t port = 0;
  };

  FakeDatagramPort(EventLoop& loop, int localPort) : loop_(loop), localPort_(localPort) {}
  ~FakeDatagramPort() override { *alive_ = false; }

  void Open() override {
    active_ = true;
    news_ = true;
  }
  // What waits is lost with the socket.
  void Close() override {
    active_ = false;
    waiting.clear();
  }
  bool Active() const override { return active_; }
  int LocalPort() const override { return localPort_; }
  void SetReceiveBufferSize(int bytes) override { receiveBuffer = bytes; }
  int SendBufferTo(const void* buf, int len, std::uint32_t address, std::uint16_t port) override {
    if (!active_ || len < 0) return 0;
    const auto* bytes = static_cast<const std::uint8_t*>(buf);
    Datagram d{std::vector<std::uint8_t>(bytes, bytes + len), address, port};
    if (address == kLoopback && port == localPort_) {
      Arrive(std::move(d));
    } else if (OnSent) {
      OnSent(d);
    }
    return len;
  }
  void SendBatch(std::span<const OutgoingDatagram> datagrams) override {
    for (const OutgoingDatagram& d : datagrams) SendBufferTo(d.data, d.length, d.address, d.port);
  }
  int ReceiveWaiting(void* buf, int size, std::uint32_t& fromAddress, std::uint16_t& fromPort) override {
    if (!active_ || waiting.empty() || size <= 0) return -1;
    const Datagram d = std::move(waiting.front());
    waiting.pop_front();
    const std::size_t n = std::min(d.bytes.size(), static_cast<std::size_t>(size));
    std::copy_n(d.bytes.begin(), n, static_cast<std::uint8_t*>(buf));
    fromAddress = d.address;
    fromPort = d.port;
    return static_cast<int>(n);
  }
  void SetReceiveNews(bool on) override {
    news_ = on;
    if (on) Tell();
  }

  // A datagram comes in from d.address and d.port: it waits, and the loop tells of it.
  void Arrive(Datagram d) {
    if (!active_) return;
    waiting.push_back(std::move(d));
    Tell();
  }

  std::function<void(const Datagram&)> OnSent;  // a datagram to anyone but the port itself
  std::deque<Datagram> waiting;
  int receiveBuffer = 0;

 private:
  // As a socket's readable news: once per loop pass while datagrams wait and the news is on.
  void Tell() {
    if (told_) return;
    told_ = true;
    loop_.Post([this, alive = alive_] {
      if (!*alive) return;
      told_ = false;
      if (!active_ || !news_ || waiting.empty() || !OnReceive) return;
      ReceiveEvent handler = OnReceive;
      handler(*this);
      if (*alive && active_ && news_ && !waiting.empty()) Tell();  // some were left
    });
  }

  EventLoop& loop_;
  int localPort_;
  bool active_ = false;
  bool news_ = true;
  bool told_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tervane::testing
