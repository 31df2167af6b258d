// Planned restarts over real stand-ins: the supervision with the settings every server gets,
// the RCON client on the loop as the monitor owns it, and the stand-ins' control words.
#pragma once

#include <algorithm>
#include <optional>
#include <thread>

#include "core/planned_restarts.h"
#include "fakesrv.h"
#include "integration_support.h"

namespace tervane::testing {

// A minute of the plans lasts 3 s at these timings.
class PlannedRestarts : public Supervision {
 protected:
  static constexpr auto kMinute = 3s;
  PlannedRestarts() { rig.servers.Plans().SetRcon(&rcon); }

  void Configure(RestartSettings settings) {
    RestartOptions options;
    options.all = RestartSection{u"", std::move(settings), ~0u};
    rig.servers.Plans().SetRestartOptions(std::move(options));
  }
  // A control command to the stand-in of e and its answer's text ("" when none came in 5 s).
  std::string Control(const ServerEntry& e, const std::string& command) {
    TVelUDP socket(loop);
    socket.Open();
    const std::vector<std::uint8_t> datagram = fakesrv::BuildControlDatagram(command);
    socket.SendBufferTo(datagram.data(), static_cast<int>(datagram.size()), kLoopbackAddress, e.Port);
    // Without running the loop: this may be asked from within a wait on it.
    const auto end = std::chrono::steady_clock::now() + 5s;
    char buffer[4096];
    std::uint32_t from = 0;
    std::uint16_t port = 0;
    int n = -1;
    while ((n = socket.ReceiveWaiting(buffer, sizeof buffer, from, port)) < 0) {
      if (std::chrono::steady_clock::now() >= end) return {};
      std::this_thread::sleep_for(5ms);
    }
    return n > 4 ? std::string(buffer + 4, static_cast<std::size_t>(n) - 4) : std::string();
  }
  // When the log first held each of these lines, polled until all came or limit passed (none
  // for a line that did not come).
  std::vector<std::optional<std::chrono::steady_clock::time_point>> WhenLogged(
      const std::vector<std::u16string>& lines, std::chrono::milliseconds limit = 30s) {
    std::vector<std::optional<std::chrono::steady_clock::time_point>> when(lines.size());
    WaitUntil([&] {
      const auto logs = LogsWithoutTime();
      for (std::size_t k = 0; k < lines.size(); ++k)
        if (!when[k] && std::find(logs.begin(), logs.end(), lines[k]) != logs.end())
          when[k] = std::chrono::steady_clock::now();
      return std::all_of(when.begin(), when.end(), [](const auto& w) { return w.has_value(); });
    }, limit);
    return when;
  }

  LoopRcon rcon{loop};
};

}  // namespace tervane::testing
