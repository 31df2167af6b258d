// What kesp.ini's [Options] section sets: plain data, read by the options reader, used by the
// observers (the HTTP endpoint, the webhook alerts) and by the crash-loop guard's owner. Every
// one is off when the file or its key is absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervane {

enum class WebhookFormat { Json, Discord, Slack };

// Where the HTTP endpoint listens: an IPv4 address (or "localhost") and a port.
struct ListenAddress {
  std::string host;
  std::uint16_t port = 0;
  // 127.0.0.0/8: only this host can connect.
  bool Loopback() const;
  bool operator==(const ListenAddress&) const = default;
};

struct ObserveOptions {
  std::optional<ListenAddress> httpListen;  // none: no endpoint
  std::string httpToken;                    // empty: no POST, and loopback only
  std::string webhookUrl;                   // empty: no alerts
  WebhookFormat webhookFormat = WebhookFormat::Json;
  int maxRestarts = 0;                      // 0: no crash-loop guard
  int restartWindowMinutes = 10;
  std::string alertHost;                    // how alerts name this host; empty: its own name
  bool logCommands = false;                 // the operators' commands in the monthly log

  // Whether an observer or the guard is asked for (the log's commands are the monitor's own).
  bool Any() const { return httpListen || !webhookUrl.empty() || maxRestarts > 0; }
  bool operator==(const ObserveOptions&) const = default;
};

inline constexpr int kMaxRestartsLimit = 1000;
inline constexpr int kRestartWindowLimit = 7 * 24 * 60;  // a week, in minutes
inline constexpr std::size_t kTokenMinLength = 16;
inline constexpr std::size_t kAlertHostLimit = 100;

// "127.0.0.1:8427", "localhost:8427", "0.0.0.0:8427"; nothing when unusable.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

}  // namespace tervane
