// kesp.ini as any bytes: decoding, the [Options] keys, the [Restarts] and [Server <name>]
// sections, and every value's reader. Whatever it accepts must be usable as it is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/restart_assignment.h"
#include "options/kesp_ini.h"
#include "support/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = tervane::DecodeProfileText(std::span<const std::uint8_t>(data, size));
  std::vector<std::string> problems;
  const tervane::KespIni ini = tervane::ParseKespIni(text, problems);
  const tervane::ObserveOptions& o = ini.observe;
  if (o.httpListen && (o.httpListen->port == 0 || (!o.httpListen->Loopback() && o.httpToken.empty())))
    __builtin_trap();
  if (o.maxRestarts < 0 || o.maxRestarts > tervane::kMaxRestartsLimit) __builtin_trap();
  if (o.restartWindowMinutes < 1 || o.restartWindowMinutes > tervane::kRestartWindowLimit) __builtin_trap();
  if (!o.httpToken.empty() && o.httpToken.size() < tervane::kTokenMinLength) __builtin_trap();
  (void)tervane::ParseListenAddress(std::string(reinterpret_cast<const char*>(data), size));

  // A problem line carries no control character from the file into a log or a terminal.
  for (const std::string& line : problems)
    if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
      __builtin_trap();

  const tervane::RestartOptions& r = ini.restarts;
  std::vector<std::u16string> names;
  for (const tervane::RestartSection& s : r.servers) names.push_back(s.name);
  if (!names.empty()) names.push_back(names.front());  // a name two servers share
  for (const tervane::RestartSettings& s : tervane::AssignRestartSettings(r, names).settings) {
    if (s.restartAt.size() > tervane::kMaxRestartTimes || !std::is_sorted(s.restartAt.begin(), s.restartAt.end()) ||
        (!s.restartAt.empty() && (s.restartAt.front() < 0 || s.restartAt.back() >= 24 * 60)))
      __builtin_trap();
    if (!s.restartAt.empty() && s.everyHours != 0) __builtin_trap();
    if (s.everyHours < 0 || s.everyHours > tervane::kMaxEveryHours) __builtin_trap();
    for (int lead : s.warnMinutes)
      if (lead < 1 || lead > tervane::kMaxLeadMinutes) __builtin_trap();
    if (s.warnMinutes.size() > tervane::kMaxRestartWarnings || s.stopCommand.size() > tervane::kMaxStopCommandBytes)
      __builtin_trap();
    if (s.stopSeconds < tervane::kMinStopSeconds || s.stopSeconds > tervane::kMaxStopSeconds) __builtin_trap();
    if (s.whenEmptyMinutes < 0 || s.whenEmptyMinutes > tervane::kMaxLeadMinutes) __builtin_trap();
    if (s.warnText.find(u'"') != std::u16string::npos) __builtin_trap();
    // Whatever the settings, a plan restarts at most once for each planned time of a day.
    tervane::RestartPlan plan([](tervane::WallTime) { return 3600; }, 60);
    plan.Configure(s);
    int restarts = 0;
    for (tervane::WallTime t = 1'800'000'000; t < 1'800'000'000 + 86400; t += 600)
      restarts += plan.Step({t, false, true, 0, {}}).kind == tervane::PlanStep::Kind::Restart;
    if (restarts > 25) __builtin_trap();
  }
  return 0;
}
