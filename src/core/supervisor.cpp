#include "core/supervisor.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "net/query.h"
#include "net/vel_udp.h"
#include "process/server_windows.h"
#include "support/failures.h"
#include "support/text.h"

namespace tervane {

Supervisor::Supervisor(EventLoop& loop, Servers& servers, IListView& view, DatagramPortMaker makePort)
    : timerCircleCheck(loop),
      timerCheckTimeOut(loop),
      timerReplies(loop),
      loop_(loop),
      servers_(servers),
      list_(servers.List()),
      process_(servers.Process()),
      windows_(process_.Windows()),
      texts_(servers.Texts()),
      view_(view),
      makePort_(std::move(makePort)) {
  timerCircleCheck.SetEnabled(false);
  timerCheckTimeOut.SetEnabled(false);
  timerCircleCheck.OnTimer = [this] { timerCircleCheckTimer(); };
  timerCheckTimeOut.OnTimer = [this] { timerCheckTimeOutTimer(); };
  timerReplies.SetEnabled(false);
  timerReplies.OnTimer = [this] {
    timerReplies.SetEnabled(false);
    if (endpoint_) endpoint_->SetReceiveNews(true);
  };
}

Supervisor::~Supervisor() {
  timerCircleCheck.SetEnabled(false);
  timerCheckTimeOut.SetEnabled(false);
  timerReplies.SetEnabled(false);
}

std::unique_ptr<IDatagramPort> Supervisor::MakeSocketPort() {
  auto udp = std::make_unique<TVelUDP>(loop_);
  udp->OnError = [this](TVelUDP& sender, const std::string& msg, int& code) { VelUDP1Error(sender, msg, code); };
  return udp;
}

void Supervisor::CreateEndpoint() {
  endpoint_.reset();
  endpoint_ = makePort_ ? makePort_() : MakeSocketPort();
  endpoint_->OnReceive = [this](IDatagramPort& sender) { VelUDP1Receive(sender); };
  endpoint_->SetReceiveBufferSize(ReceiveBufferFor(list_.size()));
  endpoint_->Open();
}

void Supervisor::VelUDP1Error(TVelUDP&, const std::string&, int& errorCode) {
  // Every socket error is silent: an endpoint that fails shows up as a failing self-test,
  // which reopens and in the end recreates it.
  errorCode = 0;
}

void Supervisor::Send(std::span<const std::uint8_t> bytes, std::uint32_t address, std::uint16_t port) {
  if (!endpoint_) return;
  endpoint_->SendBufferTo(bytes.data(), static_cast<int>(bytes.size()), address, port);
}

void Supervisor::Query(std::span<const std::uint8_t> bytes, std::uint32_t address, std::uint16_t port) {
  if (!queueing_) return Send(bytes, address, port);
  queued_.push_back(OutgoingDatagram{bytes.data(), static_cast<int>(bytes.size()), address, port});
}

void Supervisor::SendQueued() {
  if (endpoint_) endpoint_->SendBatch(queued_);
  queued_.clear();
}

namespace {
// The record's address as a number, read from its text only when the text changed; false for a
// text no query can go to (the send rule of the endpoint).
bool QueryAddress(Server& e, std::uint32_t& address) {
  if (std::memcmp(e.QueriedText.bytes, e.IPAddress.bytes, sizeof e.IPAddress.bytes) != 0) {
    e.QueriedText = e.IPAddress;
    e.QueriedValid = ConvertDestination(e.IPAddress.view(), e.QueriedAddress);
  }
  address = e.QueriedAddress;
  return e.QueriedValid;
}
}  // namespace

// ----------------------------------------------------------------------------- the cycle

void Supervisor::timerCircleCheckTimer() {
  timerCircleCheck.SetEnabled(false);
  const auto begun = std::chrono::steady_clock::now();
  try {
    queueing_ = true;
    Cycle();
  } catch (...) {
    // A failure ends this pass; the remaining servers wait for the next cycle.
    NoteCaughtFailure("supervision cycle");
  }
  queueing_ = false;
  SendQueued();  // the queries of the servers looked at, a failure or not
  process_.EndCycle();
  lastCycleSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
  cycleEndObservers_.Notify("after the cycle");
  timerCheckTimeOut.SetInterval(servers_.Timing().checkDelayMs);
  timerCheckTimeOut.SetEnabled(true);
  // Where the loop would have delivered them: after the cycle and its observers.
  HandleHeldDatagrams();
}

void Supervisor::Cycle() {
  challengeAnswered_.clear();
  selfTestPending_ = true;
  if (endpoint_) endpoint_->SetReceiveBufferSize(ReceiveBufferFor(list_.size()));
  if (endpoint_) Send(SelfTestDatagram, kSelfTestAddressValue, static_cast<std::uint16_t>(endpoint_->LocalPort()));

  process_.BeginCycle();
  Path crashPath;
  const WindowHandle dialog = windows_ ? windows_->FindFatalErrorWindow() : 0;
  if (dialog) crashPath = windows_->GetWindowProcessPath(dialog);

  // The count is taken once and the bound checked again: while a call waits on another
  // program's window, messages sent to ours are handled, and one of them may shorten the list.
  servers_.Plans().LogProblems();
  servers_.Updates().Step();
  const std::size_t count = list_.size();
  int queried = 0;
  for (std::size_t i = 0; i < count && i < list_.size(); ++i) {
    Server& e = *list_[i];
    // Its installation is updated: neither started nor judged until the update ended.
    if (e.Status.phase == Phase::Updating) {
      servers_.StepPlan(i);  // its planned times pass without a restart
      continue;
    }
    // A server stopping after its StopCommand is only looked at until its process ended.
    if (e.Stopping()) {
      servers_.StepStop(i);
      continue;
    }
    if (e.Paused) {
      servers_.StepPlan(i);  // its planned times pass without a restart
      continue;
    }
    // Into storage kept from cycle to cycle: a server costs no allocation for its path.
    e.FileName.CopyTo(fileName_);
    const Path& fileName = fileName_;

    if (dialog && !crashPath.empty() && process_.IsSameFile(fileName, crashPath)) {
      // A crashed server: read its message, close the dialog, then end and start the process.
      const std::u16string message = windows_->ReadFatalErrorMessage(dialog);
      windows_->CloseWindow(dialog);
      process_.Sleep(servers_.Timing().pauseMs);
      servers_.Restart(i, RestartReason::FatalError, crashPath, message);
      continue;
    }
    if (servers_.StepPlan(i)) continue;  // its planned restart began
    const Look look = process_.LookForServer(fileName);
    if (look.IsRunning()) {
      process_.SetServerAffinity(fileName, e.Affinity);
      servers_.NoteApplyErrors(i, process_.LastApplyErrors(fileName));
      servers_.FoundRunning(i);
      ApplyConsoleWindow(e, fileName);
      SendQueries(e);
      if (++queried % kServersPerReplyRead == 0) {
        SendQueued();
        HoldWaitingDatagrams();
      }
    } else if (look.Known()) {
      servers_.FoundMissing(i);
    } else {
      // The system refused the look: not a loss. Nothing is decided on this server now.
      servers_.LookFailed(i, look.error);
    }
  }
}

void Supervisor::ApplyConsoleWindow(const ServerEntry& e, const Path& fileName) {
  const WindowHandle console = windows_ ? windows_->FindServerConsoleWindow(fileName) : 0;
  if (!console) return;
  windows_->SetWindowTitle(console, e.Name.str());
  ShowConsoleWindow(*windows_, console, !servers_.HideConsole(e));
}

void Supervisor::SendQueries(Server& e) {
  std::uint32_t address = 0;
  if (!QueryAddress(e, address)) return;  // the endpoint would send nothing
  const std::uint16_t port = e.Port;
  const int kind = e.ReplyKind;
  const bool answering = e.TimeoutCount < kTimeoutsBeforeBothQueries;
  if (kind == kReplyDetailsOld && answering) {
    Query(DetailsQuery, address, port);
  } else if ((kind == kReplyDetailsNew || kind == kReplyInfo) && answering) {
    Query(InfoQuery, address, port);
  } else {
    Query(DetailsQuery, address, port);
    Query(InfoQuery, address, port);
  }
}

// ----------------------------------------------------------------------------- the check

void Supervisor::timerCheckTimeOutTimer() {
  timerCheckTimeOut.SetEnabled(false);
  // Replies that came while the news was paused are read before anyone is judged on them.
  if (timerReplies.Enabled() && endpoint_) {
    timerReplies.SetEnabled(false);
    IDatagramPort& endpoint = *endpoint_;
    ReadWaitingDatagrams(endpoint);
    if (endpoint_.get() == &endpoint) endpoint.SetReceiveNews(true);
  }
  try {
    TimeoutCheck();
  } catch (...) {
    // A failure ends this check; the next cycle comes all the same.
    NoteCaughtFailure("timeout check");
  }
  timerCircleCheck.SetInterval(servers_.Timing().cycleDelayMs);
  timerCircleCheck.SetEnabled(true);
}

void Supervisor::TimeoutCheck() {
  if (selfTestPending_) {
    // Our own echo did not come back: the network path is broken, so no server is judged.
    ++selfTestFailures_;
    if (selfTestFailures_ > kSelfTestReopenLimit) {
      CreateEndpoint();
      ++endpointRecreations_;
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
  const std::size_t count = list_.size();
  for (std::size_t i = 0; i < count && i < list_.size(); ++i) {
    const Server& e = *list_[i];
    if (e.Paused || !e.WaitReply || e.Status.phase == Phase::Updating) continue;
    servers_.ReplyMissed(i);
  }
}

// ----------------------------------------------------------------------------- replies

namespace {
// Larger than any datagram over IPv4; a zero byte after it ends any string at the latest.
constexpr std::size_t kLargestDatagram = 65536;
// The datagrams read for one notification at most: a flood cannot hold the loop.
constexpr int kMostReadAtOnce = 1024;
// How long the readable news pauses after a read.
constexpr unsigned kReplyPauseMs = 20;
// Bounds of what one cycle holds; beyond them the datagrams wait in the socket as before.
constexpr std::size_t kMostHeldDatagrams = 16384;
constexpr std::size_t kMostHeldBytes = 8 * 1024 * 1024;
}  // namespace

// Every datagram waiting is read and handled at once; then the readable news pauses for a
// moment (short beside the wait before the timeout check), while more replies gather in the
// socket (sized for the list), so that hundreds of replies cost some dozen wake-ups, not one
// each.
void Supervisor::VelUDP1Receive(IDatagramPort& sender) {
  ReadWaitingDatagrams(sender);
  if (endpoint_.get() != &sender || !sender.Active() || timerReplies.Enabled()) return;
  sender.SetReceiveNews(false);
  timerReplies.SetInterval(kReplyPauseMs);
  timerReplies.SetEnabled(true);
}

// The buffer is kept from one datagram to the next, so that a reply costs no allocation.
void Supervisor::ReadWaitingDatagrams(IDatagramPort& sender) {
  std::vector<std::uint8_t>& buffer = receiveBuffer_;
  if (buffer.size() < kLargestDatagram + 1) buffer.resize(kLargestDatagram + 1);
  // A handler may close or replace the endpoint: then what waits is the new one's business.
  for (int n = 0; n < kMostReadAtOnce && endpoint_.get() == &sender && sender.Active(); ++n) {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    const int got = sender.ReceiveWaiting(buffer.data(), static_cast<int>(kLargestDatagram), address, port);
    if (got < 0) return;
    const auto length = static_cast<std::size_t>(got);
    buffer[length] = 0;
    try {
      HandleDatagram(std::span<const std::uint8_t>(buffer.data(), length), address, port);
    } catch (...) {
      // A datagram that cannot be handled is dropped like a malformed one.
      NoteCaughtFailure("received datagram");
    }
  }
}

void Supervisor::HoldWaitingDatagrams() {
  std::vector<std::uint8_t>& buffer = receiveBuffer_;
  if (buffer.size() < kLargestDatagram + 1) buffer.resize(kLargestDatagram + 1);
  while (endpoint_ && held_.size() < kMostHeldDatagrams && heldBytes_.size() < kMostHeldBytes) {
    HeldDatagram d{heldBytes_.size(), 0, 0, {}, 0};
    const int got = endpoint_->ReceiveWaiting(buffer.data(), static_cast<int>(kLargestDatagram), d.address, d.port);
    if (got < 0) return;
    d.length = d.received = static_cast<std::size_t>(got);
    heldBytes_.insert(heldBytes_.end(), buffer.begin(), buffer.begin() + got);
    held_.push_back(std::move(d));
  }
}

void Supervisor::HandleHeldDatagrams() {
  for (std::size_t k = 0; k < held_.size(); ++k) {
    const HeldDatagram& d = held_[k];
    // What VelUDP1Receive hands on: the waiting size, and a zero byte after it.
    heldScratch_.assign(d.length + 1, 0);
    std::copy_n(heldBytes_.begin() + static_cast<std::ptrdiff_t>(d.offset), d.received, heldScratch_.begin());
    try {
      HandleDatagram(std::span<const std::uint8_t>(heldScratch_.data(), d.length), d.address, d.port);
    } catch (...) {
      NoteCaughtFailure("received datagram");
    }
  }
  held_.clear();
  heldBytes_.clear();
}

int Supervisor::FindServer(std::uint32_t address, std::uint16_t port) {
  // The port's stored bytes first, then the address as a number: a reply is matched without
  // any text, and the rows it passes cost a compare of two bytes each.
  const unsigned char low = static_cast<unsigned char>(port & 0xFF);
  const unsigned char high = static_cast<unsigned char>(port >> 8);
  for (std::size_t i = 0; i < list_.size(); ++i) {
    Server& e = *list_[i];
    if (e.Port.bytes[0] != low || e.Port.bytes[1] != high || e.Paused || e.Status.phase == Phase::Updating) continue;
    std::uint32_t queried = 0;
    if (QueryAddress(e, queried) && queried == address) return static_cast<int>(i);
  }
  return -1;
}

void Supervisor::HandleDatagram(std::span<const std::uint8_t> data, std::uint32_t address, std::uint16_t port) {
  const int localPort = endpoint_ ? endpoint_->LocalPort() : -1;
  const ParsedDatagram parsed = ParseDatagram(data, address, port, static_cast<std::uint16_t>(localPort));
  switch (parsed.kind) {
    case ParsedDatagram::Kind::SelfTest:
      if (port != localPort) return;
      selfTestFailures_ = 0;
      selfTestPending_ = false;
      view_.ShowSelfTestStatus(texts_.Get(Msg::NetworkStatusNormal));
      return;
    case ParsedDatagram::Kind::Reply: {
      const int row = FindServer(address, port);
      if (row >= 0) servers_.ReplyReceived(static_cast<std::size_t>(row), parsed);
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
