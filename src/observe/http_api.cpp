#include "observe/http_api.h"

#include "core/planned_restarts.h"
#include "options/settings.h"
#include "support/text.h"

namespace tervane {
namespace {

HttpResponse Text(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

HttpResponse Unauthorized() {
  HttpResponse r = Text(401, "a valid token is needed (Authorization: Bearer <HttpToken>)\n");
  r.headers.emplace_back("WWW-Authenticate", "Bearer");
  return r;
}

// "/api/servers/12/pause" to 12 and pause, for a command the API serves; false for anything else.
bool ParseCommandPath(const std::string& path, std::size_t& number, Command& command) {
  constexpr std::string_view prefix = "/api/servers/";
  if (path.rfind(prefix, 0) != 0) return false;
  const std::string_view rest = std::string_view(path).substr(prefix.size());
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash > 6) return false;
  std::size_t n = 0;
  for (char c : rest.substr(0, slash)) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  const auto parsed = ParseCommand(rest.substr(slash + 1));
  if (!parsed || !ServedAt(*parsed, kHttpApi)) return false;
  number = n;
  command = *parsed;
  return true;
}

}  // namespace

bool ParseRestartIn(std::string_view query, std::optional<int>& minutes) {
  minutes.reset();
  if (query.empty()) return true;
  constexpr std::string_view key = "in=";
  const std::string_view value = query.substr(0, key.size()) == key ? query.substr(key.size()) : std::string_view();
  if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string_view::npos) return false;
  int n = 0;
  for (char c : value) n = n * 10 + (c - '0');
  if (n > kMaxOneOffMinutes) return false;
  minutes = n;
  return true;
}

HttpApi::HttpApi(std::string token, std::string listenHost, const SnapshotBox& snapshots, CommandRunner commands,
                 std::function<ObserverCounts()> counts, std::function<WallTime()> clock, std::string version)
    : token_(std::move(token)),
      listenHost_(std::move(listenHost)),
      snapshots_(snapshots),
      commands_(std::move(commands)),
      counts_(std::move(counts)),
      clock_(std::move(clock)),
      version_(std::move(version)) {}

bool HttpApi::TokenMatches(const std::string& authorization) const {
  // "Bearer" in any case, then blanks, then the token.
  constexpr std::string_view scheme = "BEARER";
  if (token_.empty() || authorization.size() <= scheme.size() ||
      UpperAscii(std::string_view(authorization).substr(0, scheme.size())) != scheme)
    return false;
  std::size_t at = scheme.size();
  if (authorization[at] != ' ') return false;
  while (at < authorization.size() && authorization[at] == ' ') ++at;
  if (authorization.size() - at != token_.size()) return false;
  // Every byte compared, so the time taken tells nothing of where a guess went wrong.
  unsigned char difference = 0;
  for (std::size_t i = 0; i < token_.size(); ++i)
    difference |= static_cast<unsigned char>(authorization[at + i] ^ token_[i]);
  return difference == 0;
}

bool HttpApi::HostAllowed(const std::string& host) const {
  if (host.empty()) return true;  // HTTP/1.0 without Host: no browser of these days
  std::string_view name = host;
  if (name.front() == '[') {
    // An IPv6 literal, with or without a port.
    const std::size_t close = name.find(']');
    return close != std::string_view::npos &&
           name.substr(1, close - 1).find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos &&
           (close + 1 == name.size() || name[close + 1] == ':');
  }
  const std::size_t colon = name.rfind(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = name.substr(colon + 1);
    if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos) return false;
    name = name.substr(0, colon);
  }
  const std::string upper = UpperAscii(name);
  return upper == "LOCALHOST" || upper == UpperAscii(listenHost_) || ParseListenAddress(std::string(name) + ":1");
}

void HttpApi::Handle(const HttpRequest& request, const HttpAnswer& answer) const {
  const bool tokenSent = !request.authorization.empty();
  const bool authorized = TokenMatches(request.authorization);
  if (tokenSent && !authorized) return answer(Unauthorized());
  if (request.fromLoopback && !authorized && !HostAllowed(request.host))
    return answer(Text(403, "the Host header names another site; use this host's address or localhost\n"));
  if (request.method == "GET" || request.method == "HEAD") {
    if (request.path == "/" || request.path == "/index.html") {
      HttpResponse r = Text(200, StatusPageHtml());
      r.contentType = "text/html; charset=utf-8";
      return answer(std::move(r));
    }
    if (request.path != "/metrics" && request.path != "/api/servers") return answer(Text(404, "not found\n"));
    if (!request.fromLoopback && !authorized) return answer(Unauthorized());
    const auto snapshot = snapshots_.Latest();
    const WallTime now = clock_();
    if (request.path == "/metrics") {
      HttpResponse r = Text(200, RenderMetrics(*snapshot, counts_ ? counts_() : ObserverCounts{}, now, version_));
      r.contentType = "text/plain; version=0.0.4; charset=utf-8";
      return answer(std::move(r));
    }
    HttpResponse r = Text(200, StatusJson(*snapshot, now));
    r.contentType = "application/json";
    return answer(std::move(r));
  }
  if (request.method == "POST") {
    std::size_t number = 0;
    Command command{};
    if (!ParseCommandPath(request.path, number, command)) return answer(Text(404, "not found\n"));
    if (!authorized) return answer(Unauthorized());
    std::optional<int> in;
    if (command == Command::Restart && !ParseRestartIn(request.query, in))
      return answer(Text(400, "a restart takes ?in=<minutes> (0 to 1440) or nothing\n"));
    if (command == Command::Update && !ParseRestartIn(request.query, in))
      return answer(Text(400, "an update takes ?in=<minutes> (0 to 1440) or nothing\n"));
    if (!commands_) return answer(Text(503, "no commands\n"));
    // The number as the status this door shows gives it: the command is bound to that server.
    const auto snapshot = snapshots_.Latest();
    const ServerId id = number >= 1 && number <= snapshot->servers.size() ? snapshot->servers[number - 1].id : 0;
    return commands_(command, number, id, request, answer);
  }
  HttpResponse r = Text(405, "method not allowed\n");
  r.headers.emplace_back("Allow", "GET, POST");
  answer(std::move(r));
}

}  // namespace tervane
