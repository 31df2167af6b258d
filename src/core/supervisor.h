// The supervision of the main window: the cycle that restarts crashed, lost and silent
// servers, the response-timeout check 500 ms after it, and the handling of every datagram
// that comes back to the endpoint VelUDP1. The two timers drive each other as a chain of
// one-shot timers; everything runs on the loop's one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>

#include "core/list_view.h"
#include "core/server_list.h"
#include "net/vel_udp.h"
#include "process/process_control.h"
#include "support/event_log.h"
#include "support/event_loop.h"
#include "support/message_texts.h"

namespace tervane {

// The shipped timings; tests shorten them, nothing else differs.
struct SupervisionTiming {
  unsigned checkDelayMs = 500;    // from the end of a cycle to the timeout check
  unsigned cycleDelayMs = 3500;   // from the end of the check to the next cycle
  unsigned pauseMs = 10;          // between closing or ending a process and the next step
};

// Missing cycles tolerated, unanswered queries shown as a timeout, self-test failures that
// only reopen the endpoint.
inline constexpr int kLostLimit = 3;
inline constexpr int kTimeoutLimit = 20;
inline constexpr int kBothQueriesFrom = 4;
inline constexpr int kSelfTestReopenLimit = 3;

inline constexpr char16_t kLogStarting[] = u"Starting server.";
inline constexpr char16_t kLogProcessLost[] = u"Restarting. Reason: Process lost.";
inline constexpr char16_t kLogFatalError[] = u"Restarting. Reason: Fatal error - ";
inline constexpr char16_t kLogNoResponse[] = u"Restarting. Reason: No network response.";

class Supervisor {
 public:
  Supervisor(EventLoop& loop, ServerList& list, IListView& view, const MessageTexts& texts,
             IProcessControl& process, EventLog& log, SupervisionTiming timing = {});
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
  void VelUDP1Receive(TVelUDP& sender);
  void VelUDP1Error(TVelUDP& sender, const std::string& msg, int& errorCode);

  // Everything a received datagram does, given its bytes (their count is n), its sender and port.
  void HandleDatagram(std::span<const std::uint8_t> data, const std::string& address, int port);

  TVelUDP* VelUDP1() { return endpoint_.get(); }
  bool SelfTestPending() const { return selfTestPending_; }
  int SelfTestFailures() const { return selfTestFailures_; }

  Timer timerCircleCheck;
  Timer timerCheckTimeOut;

  // While the program is boss-hidden every console stays hidden: the cycle hides the ones it
  // would show, and the servers it starts or restarts start hidden. Set and cleared by the
  // boss key; the servers' HideServer settings are not touched.
  bool ConsolesHidden = false;

 private:
  void Cycle();
  void TimeoutCheck();
  void SendQueries(ServerEntry& e);
  void ApplyConsoleWindow(const ServerEntry& e);
  int FindServer(const std::string& address, int port) const;
  void Send(std::span<const std::uint8_t> bytes, const std::string& address, int port);
  void AddLog(const ServerEntry& e, const std::u16string& message);
  void SetCell(int row, int column, const std::u16string& text) { view_.SetCell(row, column, text); }
  void ClearReplyCells(int row);

  EventLoop& loop_;
  ServerList& list_;
  IListView& view_;
  const MessageTexts& texts_;
  IProcessControl& process_;
  EventLog& log_;
  SupervisionTiming timing_;
  std::unique_ptr<TVelUDP> endpoint_;
  bool selfTestPending_ = false;
  int selfTestFailures_ = 0;
  // Servers that got the info query again with their challenge in this cycle: at most once
  // each, so a server that answers only with challenges cannot keep the endpoint busy.
  std::set<const ServerEntry*> challengeAnswered_;
};

}  // namespace tervane
