#include "core/supervisor.h"

#include <vector>

#include "net/query.h"
#include "support/text.h"

namespace tervane {

Supervisor::Supervisor(EventLoop& loop, ServerList& list, IListView& view,
                       const MessageTexts& texts, IProcessControl& process, EventLog& log,
                       SupervisionTiming timing)
    : timerCircleCheck(loop),
      timerCheckTimeOut(loop),
      loop_(loop),
      list_(list),
      view_(view),
      texts_(texts),
      process_(process),
      log_(log),
      timing_(timing) {
  timerCircleCheck.SetEnabled(false);
  timerCheckTimeOut.SetEnabled(false);
  timerCircleCheck.OnTimer = [this] { timerCircleCheckTimer(); };
  timerCheckTimeOut.OnTimer = [this] { timerCheckTimeOutTimer(); };
}

Supervisor::~Supervisor() {
  timerCircleCheck.SetEnabled(false);
  timerCheckTimeOut.SetEnabled(false);
}

void Supervisor::CreateEndpoint() {
  endpoint_.reset();
  endpoint_ = std::make_unique<TVelUDP>(loop_);
  endpoint_->OnReceive = [this](TVelUDP& sender) { VelUDP1Receive(sender); };
  endpoint_->OnError = [this](TVelUDP& sender, const std::string& msg, int& code) {
    VelUDP1Error(sender, msg, code);
  };
  endpoint_->Open();
}

void Supervisor::VelUDP1Error(TVelUDP&, const std::string&, int& errorCode) {
  // Every socket error is silent: an endpoint that fails shows up as a failing self-test,
  // which reopens and in the end recreates it.
  errorCode = 0;
}

void Supervisor::Send(std::span<const std::uint8_t> bytes, const std::string& address, int port) {
  if (!endpoint_) return;
  endpoint_->SendBuffer(bytes.data(), static_cast<int>(bytes.size()), port, address);
}

void Supervisor::AddLog(const ServerEntry& e, const std::u16string& message) {
  log_.AddLog(e.Name.str(), message);
}

void Supervisor::ClearReplyCells(int row) {
  SetCell(row, ColNetworkStatus, kNoValue);
  SetCell(row, ColMap, kNoValue);
  SetCell(row, ColPlayers, kNoValue);
}

// ----------------------------------------------------------------------------- the cycle

void Supervisor::timerCircleCheckTimer() {
  timerCircleCheck.SetEnabled(false);
  try {
    Cycle();
  } catch (...) {
    // A failure ends this pass; the remaining servers wait for the next cycle.
  }
  process_.EndCycle();
  timerCheckTimeOut.SetInterval(timing_.checkDelayMs);
  timerCheckTimeOut.SetEnabled(true);
}

void Supervisor::Cycle() {
  challengeAnswered_.clear();
  selfTestPending_ = true;
  if (endpoint_) Send(SelfTestDatagram, kSelfTestAddress, endpoint_->LocalPort());

  process_.BeginCycle();
  Path crashPath;
  const WindowHandle dialog = process_.FindFatalErrorWindow();
  if (dialog) crashPath = process_.GetWindowProcessPath(dialog);

  const int count = static_cast<int>(list_.size());
  for (int i = 0; i < count && i < static_cast<int>(list_.size()); ++i) {
    ServerEntry& e = *list_[static_cast<std::size_t>(i)];
    if (e.Paused) continue;
    const Path fileName = e.FileName.str();

    if (dialog && !crashPath.empty() && process_.IsSameFile(fileName, crashPath)) {
      // A crashed server: read its message, close the dialog, end and start the process.
      const std::u16string message = process_.ReadFatalErrorMessage(dialog);
      process_.CloseWindow(dialog);
      process_.Sleep(timing_.pauseMs);
      process_.TerminateServerProcess(crashPath);
      process_.Sleep(timing_.pauseMs);
      process_.StartServerProcess(crashPath, e.Params.str(), e.Priority, e.HideServer != 0 || ConsolesHidden,
                                  e.Affinity);
      e.Restarts += 1;
      e.TimeoutCount = 0;
      e.LostCount = 0;
      e.WaitReply = 0;
      SetCell(i, ColProcessStatus, texts_.Get(Msg::Restarting));
      ClearReplyCells(i);
      SetCell(i, ColRestarts, ToU16(e.Restarts));
      AddLog(e, kLogFatalError + message);
    } else if (process_.IsServerRunning(fileName)) {
      process_.SetServerAffinity(fileName, e.Affinity);
      e.LostCount = 0;
      if (e.Restarts < 0) {
        e.Restarts = 0;
        SetCell(i, ColRestarts, u"0");
      }
      SetCell(i, ColProcessStatus, texts_.Get(Msg::Normal));
      ApplyConsoleWindow(e);
      e.WaitReply = 1;
      SendQueries(e);
    } else {
      e.WaitReply = 0;
      e.TimeoutCount = 0;
      ClearReplyCells(i);
      e.LostCount += 1;
      if (e.LostCount > kLostLimit) {
        process_.StartServerProcess(fileName, e.Params.str(), e.Priority, e.HideServer != 0 || ConsolesHidden,
                                    e.Affinity);
        e.LostCount = 0;
        e.Restarts += 1;
        SetCell(i, ColProcessStatus, texts_.Get(Msg::Restarting));
        SetCell(i, ColRestarts, ToU16(e.Restarts));
        AddLog(e, e.Restarts > 0 ? kLogProcessLost : kLogStarting);
      } else {
        SetCell(i, ColProcessStatus, FormatText(texts_.Get(Msg::Lost), {e.LostCount, kLostLimit}));
      }
    }
  }
}

void Supervisor::ApplyConsoleWindow(const ServerEntry& e) {
  const WindowHandle console = process_.FindServerConsoleWindow(e.FileName.str());
  if (!console) return;
  process_.SetWindowTitle(console, e.Name.str());
  if (e.HideServer || ConsolesHidden)
    process_.ShowWindow(console, kShowHide);
  else
    process_.ShowWindow(console, process_.IsIconic(console) ? kShowMinNoActivate : kShowNoActivate);
}

void Supervisor::SendQueries(ServerEntry& e) {
  const std::string address = e.IPAddress.str();
  const int port = e.Port;
  const int kind = e.ReplyKind;
  const bool answering = e.TimeoutCount < kBothQueriesFrom;
  if (kind == kReplyDetailsOld && answering) {
    Send(DetailsQuery, address, port);
  } else if ((kind == kReplyDetailsNew || kind == kReplyInfo) && answering) {
    Send(InfoQuery, address, port);
  } else {
    Send(DetailsQuery, address, port);
    Send(InfoQuery, address, port);
  }
}

// ----------------------------------------------------------------------------- the check

void Supervisor::timerCheckTimeOutTimer() {
  timerCheckTimeOut.SetEnabled(false);
  try {
    TimeoutCheck();
  } catch (...) {
    // A failure ends this check silently; the next cycle comes all the same.
  }
  timerCircleCheck.SetInterval(timing_.cycleDelayMs);
  timerCircleCheck.SetEnabled(true);
}

void Supervisor::TimeoutCheck() {
  if (selfTestPending_) {
    // Our own echo did not come back: the network path is broken, so no server is judged.
    ++selfTestFailures_;
    if (selfTestFailures_ > kSelfTestReopenLimit) {
      CreateEndpoint();
      selfTestFailures_ = 0;
      view_.ShowSelfTestStatus(texts_.Get(Msg::NetworkStatusReinit));
    } else {
      view_.ShowSelfTestStatus(FormatText(texts_.Get(Msg::NetworkStatusTimeout),
                                          {selfTestFailures_, kSelfTestReopenLimit}));
      if (endpoint_) {
        endpoint_->Close();
        endpoint_->Open();
      }
    }
    return;
  }
  const int count = static_cast<int>(list_.size());
  for (int i = 0; i < count && i < static_cast<int>(list_.size()); ++i) {
    ServerEntry& e = *list_[static_cast<std::size_t>(i)];
    if (e.Paused || !e.WaitReply) continue;
    e.TimeoutCount += 1;
    if (e.TimeoutCount <= kTimeoutLimit) {
      SetCell(i, ColNetworkStatus, FormatText(texts_.Get(Msg::Timeout), {e.TimeoutCount, kTimeoutLimit}));
      continue;
    }
    const Path fileName = e.FileName.str();
    process_.TerminateServerProcess(fileName);
    process_.Sleep(timing_.pauseMs);
    process_.StartServerProcess(fileName, e.Params.str(), e.Priority, e.HideServer != 0 || ConsolesHidden, e.Affinity);
    e.Restarts += 1;
    e.LostCount = 0;
    e.TimeoutCount = 0;
    SetCell(i, ColProcessStatus, texts_.Get(Msg::Restarting));
    ClearReplyCells(i);
    SetCell(i, ColRestarts, ToU16(e.Restarts));
    AddLog(e, kLogNoResponse);
  }
}

// ----------------------------------------------------------------------------- replies

void Supervisor::VelUDP1Receive(TVelUDP& sender) {
  const int available = sender.BytesAvailable();
  const std::size_t n = available > 0 ? static_cast<std::size_t>(available) : 0;
  // n + 1 zero bytes: the byte at position n ends any string at the latest.
  std::vector<std::uint8_t> buffer(n + 1, 0);
  std::string address;
  int port = 0;
  sender.ReceiveBuffer(buffer.data(), static_cast<int>(n), address, port);
  try {
    HandleDatagram(std::span<const std::uint8_t>(buffer.data(), n), address, port);
  } catch (...) {
    // A datagram that cannot be handled is dropped like a malformed one.
  }
}

int Supervisor::FindServer(const std::string& address, int port) const {
  for (std::size_t i = 0; i < list_.size(); ++i) {
    const ServerEntry& e = *list_[i];
    if (!e.Paused && e.IPAddress.str() == address && e.Port == port) return static_cast<int>(i);
  }
  return -1;
}

void Supervisor::HandleDatagram(std::span<const std::uint8_t> data, const std::string& address,
                                int port) {
  const int localPort = endpoint_ ? endpoint_->LocalPort() : -1;
  const ParsedDatagram parsed = ParseDatagram(data, address, static_cast<std::uint16_t>(port),
                                              static_cast<std::uint16_t>(localPort));
  switch (parsed.kind) {
    case ParsedDatagram::Kind::SelfTest:
      if (port != localPort) return;
      selfTestFailures_ = 0;
      selfTestPending_ = false;
      view_.ShowSelfTestStatus(texts_.Get(Msg::NetworkStatusNormal));
      return;
    case ParsedDatagram::Kind::Reply: {
      const int row = FindServer(address, port);
      if (row < 0) return;
      ServerEntry& e = *list_[static_cast<std::size_t>(row)];
      e.TimeoutCount = 0;
      e.WaitReply = 0;
      e.ReplyKind = parsed.replyKind;
      SetCell(row, ColNetworkStatus, texts_.Get(Msg::Normal));
      SetCell(row, ColMap, FromSystem8(parsed.map));
      SetCell(row, ColPlayers, FormatText(u"%d/%d", {parsed.players, parsed.maxPlayers}));
      return;
    }
    case ParsedDatagram::Kind::Challenge: {
      // The server wants the info query again with its challenge appended; at most once per
      // server and cycle.
      const int row = FindServer(address, port);
      if (row < 0) return;
      const ServerEntry* e = list_[static_cast<std::size_t>(row)].get();
      if (!challengeAnswered_.insert(e).second) return;
      Send(InfoQueryWithChallenge(parsed.challenge), address, port);
      return;
    }
    case ParsedDatagram::Kind::Ignored:
      return;
  }
}

}  // namespace tervane
