// kesp.ini: the options beyond the list's own settings, in section [Options] of the file beside
// the program. Every one is off when the file or its key is absent; a key the program does not
// know and a value it cannot use (a value longer than the reader holds among them) each give
// one log line, and that option stays off. A file larger than the reader reads is not used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/file.h"

namespace tervane {

enum class WebhookFormat { Json, Discord, Slack };

// Where the HTTP endpoint listens: an IPv4 address (or "localhost") and a port.
struct ListenAddress {
  std::string host;
  std::uint16_t port = 0;
  // 127.0.0.0/8: only this host can connect.
  bool Loopback() const;
};

struct ObserveOptions {
  std::optional<ListenAddress> httpListen;  // none: no endpoint
  std::string httpToken;                    // empty: no POST, and loopback only
  std::string webhookUrl;                   // empty: no alerts
  WebhookFormat webhookFormat = WebhookFormat::Json;
  int maxRestarts = 0;                      // 0: no crash-loop guard
  int restartWindowMinutes = 10;
  std::string alertHost;                    // how alerts name this host; empty: its own name

  bool Any() const { return httpListen || !webhookUrl.empty() || maxRestarts > 0; }
};

inline constexpr int kMaxRestartsLimit = 1000;
inline constexpr int kRestartWindowLimit = 7 * 24 * 60;  // a week, in minutes
inline constexpr std::size_t kTokenMinLength = 16;
inline constexpr std::uint64_t kOptionsFileLimit = 64 * 1024;

// The options of a decoded kesp.ini text. `problems` receives one line per unknown key or
// unusable value (UTF-8, without the file's name, which the log line carries).
ObserveOptions ParseObserveOptions(std::u16string_view text, std::vector<std::string>& problems);

// The file's text, decoded as the profile reader decodes (UTF-16LE with its mark, UTF-8, or
// 8-bit text); none when it is absent, and empty with a problem when it is too large to read.
std::optional<std::u16string> ReadOptionsText(const Path& file, std::vector<std::string>& problems);

// The options of the file. An absent file gives every option off and no problem.
ObserveOptions LoadObserveOptions(const Path& file, std::vector<std::string>& problems, bool& present);

// "127.0.0.1:8427", "localhost:8427", "0.0.0.0:8427"; nothing when unusable.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

}  // namespace tervane
