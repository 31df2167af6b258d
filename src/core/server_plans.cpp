#include "core/server_plans.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>

#include "support/text.h"

namespace tervane {

ServerPlans::ServerPlans(ServerList& list, EventLog& log, Clock clock, int minuteSeconds)
    : list_(list), log_(log), clock_(std::move(clock)), zone_(SystemZoneOffset), minuteSeconds_(minuteSeconds) {}

void ServerPlans::SetRestartOptions(RestartOptions options, ZoneOffset zone) {
  options_ = std::move(options);
  if (zone) zone_ = std::move(zone);
  Reassign();
}

void ServerPlans::Reassign() {
  // Without the sections nothing is made: the servers keep no plan.
  if (!options_.Any()) return;
  std::vector<std::u16string> names;
  names.reserve(list_.size());
  for (const auto& s : list_) names.push_back(s->Name.str());
  const RestartAssignment assignment = AssignRestartSettings(options_, names);
  for (std::size_t i = 0; i < list_.size(); ++i) PlanOf(i).Configure(assignment.settings[i]);
  problems_ = AssignmentProblems(assignment);
}

void ServerPlans::LogProblems() {
  if (problems_ == loggedProblems_) return;
  for (const std::string& line : problems_)
    if (std::find(loggedProblems_.begin(), loggedProblems_.end(), line) == loggedProblems_.end())
      log_.AddLog(kOptionsFileName, Utf8ToUtf16(line));
  loggedProblems_ = problems_;
}

RestartPlan& ServerPlans::PlanOf(std::size_t i) {
  std::optional<RestartPlan>& plan = list_.at(i)->Plan;
  if (!plan) plan.emplace(zone_, minuteSeconds_);
  return *plan;
}

const RestartSettings& ServerPlans::SettingsOf(std::size_t i) const {
  static const RestartSettings kDefaults;
  const std::optional<RestartPlan>& plan = list_.at(i)->Plan;
  return plan ? plan->Settings() : kDefaults;
}

WallTime ServerPlans::PlanRestart(std::size_t i, int minutes) {
  RestartPlan& plan = PlanOf(i);
  return plan.PlanOneOff(clock_(), minutes) ? plan.OneOffDue().value_or(0) : 0;
}

bool ServerPlans::CancelRestart(std::size_t i) {
  std::optional<RestartPlan>& plan = list_.at(i)->Plan;
  return plan && plan->CancelOneOff();
}

WallTime ServerPlans::NextPlannedRestart(std::size_t i) const {
  // A paused server is passed over by its plan: nothing is due while it stays paused.
  if (list_.at(i)->Paused) return 0;
  const std::optional<RestartPlan>& plan = list_.at(i)->Plan;
  return plan ? plan->NextRestart().value_or(0) : 0;
}

RconRequest ServerPlans::RequestOf(std::size_t i, std::string command) {
  Server& s = *list_.at(i);
  RconRequest request = RconRequestFor(SettingsOf(i), s.IPAddress.str(), s.Port, s.Params.str(), s.ReplyKind,
                                       s.Status.protocol, std::move(command));
  request.withdrawn = ForProcess(i);
  return request;
}

RconWithdrawal ServerPlans::ForProcess(std::size_t i) {
  RconWithdrawal& token = list_.at(i)->RconFor;
  if (!token) token = std::make_shared<std::atomic<bool>>(false);
  return token;
}

void ServerPlans::Withdraw(std::size_t i) {
  if (RconWithdrawal& token = list_.at(i)->RconFor) {
    token->store(true);
    token.reset();
  }
}

void ServerPlans::Send(std::size_t i, std::string command, std::chrono::steady_clock::time_point beginBy,
                       IRcon::Done done) {
  RconRequest request = RequestOf(i, std::move(command));
  request.beginBy = beginBy;
  if (rcon_) return rcon_->Send(std::move(request), std::move(done));
  RconResult none;
  none.failure = RconFailure::Cancelled;
  none.detail = "no RCON client";
  done(none);
}

void ServerPlans::Note(std::size_t i, const RconResult& result, std::u16string_view what) {
  Server& s = *list_.at(i);
  if (result.ok()) {
    s.RconTrouble.clear();
    return;
  }
  std::string reason = result.Reason();
  if (reason == s.RconTrouble) return;
  s.RconTrouble = reason;
  for (char& c : reason)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  log_.AddLog(s.Name.str(), std::u16string(what) + Utf8ToUtf16(reason));
}

}  // namespace tervane
