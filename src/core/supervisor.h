// The supervision of the main window: the cycle that restarts crashed, lost and silent
// servers, the response-timeout check 500 ms after it, and the handling of every datagram
// that comes back to the endpoint VelUDP1. The two timers drive each other as a chain of
// one-shot timers; everything runs on the loop's one thread. VelUDP1 is a port (a TVelUDP over
// a socket, or the tests' own), so that the supervision is the same over either.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/servers.h"
#include "net/datagram_port.h"
#include "support/event_loop.h"
#include "support/observers.h"

namespace tervane {

// From this many unanswered queries in a row on, a server gets both queries again, whatever
// kind of reply it gave before: it may have been replaced by a server of the other kind.
inline constexpr int kTimeoutsBeforeBothQueries = 4;
// Self-test failures in a row that only reopen the endpoint; one more recreates it.
inline constexpr int kSelfTestReopenLimit = 3;
// Servers queried between two reads of the replies already waiting: on a long list the first
// replies come back while the cycle still sends, and the socket's buffer must not overflow.
inline constexpr int kServersPerReplyRead = 32;
// The receive buffer asked for a list of this many servers: the replies of one cycle (two
// queries and a challenge at most per server) with the kernel's own cost of each datagram,
// which is well above its bytes.
constexpr int ReceiveBufferFor(std::size_t servers) {
  constexpr std::size_t kBase = 64 * 1024, kPerServer = 4 * 1024, kMost = 16 * 1024 * 1024;
  return static_cast<int>(servers < (kMost - kBase) / kPerServer ? kBase + servers * kPerServer : kMost);
}

class TVelUDP;

// Makes the port VelUDP1 is, each time it is created; empty: a TVelUDP on the loop.
using DatagramPortMaker = std::function<std::unique_ptr<IDatagramPort>()>;

class Supervisor {
 public:
  Supervisor(EventLoop& loop, Servers& servers, DatagramPortMaker makePort = {});
  ~Supervisor();
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Creates VelUDP1 on a system-chosen port with its handlers attached, and opens it.
  void CreateEndpoint();

  // One supervision cycle; arms the timeout check as its last act.
  void timerCircleCheckTimer();
  // One response-timeout check; arms the next cycle as its last act.
  void timerCheckTimeOutTimer();

  // The endpoint's handlers.
  void VelUDP1Receive(IDatagramPort& sender);
  void VelUDP1Error(TVelUDP& sender, const std::string& msg, int& errorCode);

  // Everything a received datagram does, given its bytes, its sender's address (host byte
  // order) and port.
  void HandleDatagram(std::span<const std::uint8_t> data, std::uint32_t address, std::uint16_t port);

  IDatagramPort* VelUDP1() { return endpoint_.get(); }
  bool SelfTestPending() const { return selfTestPending_; }
  int SelfTestFailures() const { return selfTestFailures_; }

  Timer timerCircleCheck;
  Timer timerCheckTimeOut;
  // Gives the endpoint's readable news again after a pause (see VelUDP1Receive).
  Timer timerReplies;
  int EndpointRecreations() const { return endpointRecreations_; }
  // How long the last cycle took.
  double LastCycleSeconds() const { return lastCycleSeconds_; }
  // Observers told after each cycle, before the timeout check is armed: the monitor's own (a
  // save that failed is tried again), kesp.ini's (the snapshot is published), the service
  // manager's keep-alive. Adding one changes nothing of the supervision.
  ObserverList<>& CycleEndObservers() const { return cycleEndObservers_; }

 private:
  // A TVelUDP with its error handler attached.
  std::unique_ptr<IDatagramPort> MakeSocketPort();
  void Cycle();
  void TimeoutCheck();
  void SendQueries(Server& e);
  void ApplyConsoleWindow(const ServerEntry& e, const Path& fileName);
  int FindServer(std::uint32_t address, std::uint16_t port);
  void Send(std::span<const std::uint8_t> bytes, std::uint32_t address, std::uint16_t port);
  // In the cycle the queries (constant bytes) wait in queued_ and go together, a few dozen at a
  // time, with one call into the system for many; SendQueued sends what waits.
  void Query(std::span<const std::uint8_t> bytes, std::uint32_t address, std::uint16_t port);
  void SendQueued();
  // Reads the datagrams waiting now, as VelUDP1Receive reads them, and keeps them;
  // HandleHeldDatagrams handles them after the cycle in the order they came, as the loop would
  // have delivered them then: reading early only keeps the socket's buffer from overflowing.
  // Reads and handles every datagram waiting on the endpoint.
  void ReadWaitingDatagrams(IDatagramPort& sender);
  void HoldWaitingDatagrams();
  void HandleHeldDatagrams();

  EventLoop& loop_;
  Servers& servers_;
  ServerList& list_;
  IProcessControl& process_;
  IServerWindows* windows_;  // none where servers have no windows
  const MessageTexts& texts_;
  IListView& view_;
  DatagramPortMaker makePort_;
  std::unique_ptr<IDatagramPort> endpoint_;
  bool selfTestPending_ = false;
  int selfTestFailures_ = 0;
  int endpointRecreations_ = 0;
  double lastCycleSeconds_ = 0;
  // Servers that got the info query again with their challenge in this cycle: at most once
  // each, so a server that answers only with challenges cannot keep the endpoint busy.
  std::set<const ServerEntry*> challengeAnswered_;
  struct HeldDatagram {
    std::size_t offset;    // of its bytes in heldBytes_
    std::size_t received;  // bytes read
    std::size_t length;    // bytes handed on (the waiting size, zeros after what was read)
    std::uint32_t address;
    std::uint16_t port;
  };
  std::vector<HeldDatagram> held_;
  std::vector<std::uint8_t> heldBytes_;
  std::vector<std::uint8_t> heldScratch_;
  std::vector<std::uint8_t> receiveBuffer_;
  Path fileName_;  // the path of the server the cycle is at
  bool queueing_ = false;
  std::vector<OutgoingDatagram> queued_;
  mutable ObserverList<> cycleEndObservers_;
};

}  // namespace tervane
