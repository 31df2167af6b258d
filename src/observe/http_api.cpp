#include "observe/http_api.h"

#include "observe/http_endpoint.h"

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

// "/api/servers/12/pause" to 12 and "pause"; false for anything else.
bool ParseCommandPath(const std::string& path, std::size_t& row, std::string& verb) {
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
  verb = std::string(rest.substr(slash + 1));
  if (verb != "pause" && verb != "unpause" && verb != "restart" && verb != "close") return false;
  row = n;
  return true;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& CommonResponseHeaders() {
  static const std::vector<std::pair<std::string, std::string>> headers = {
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'"},
  };
  return headers;
}

HttpApi::HttpApi(std::string token, const SnapshotBox& snapshots, CommandRunner commands,
                 std::function<ObserverCounts()> counts, std::function<WallTime()> clock, std::string version)
    : token_(std::move(token)),
      snapshots_(snapshots),
      commands_(std::move(commands)),
      counts_(std::move(counts)),
      clock_(std::move(clock)),
      version_(std::move(version)) {}

bool HttpApi::TokenMatches(const std::string& authorization) const {
  constexpr std::string_view scheme = "Bearer ";
  if (token_.empty() || authorization.size() != scheme.size() + token_.size()) return false;
  if (authorization.compare(0, scheme.size(), scheme) != 0) return false;
  // Every byte compared, so the time taken tells nothing of where a guess went wrong.
  unsigned char difference = 0;
  for (std::size_t i = 0; i < token_.size(); ++i)
    difference |= static_cast<unsigned char>(authorization[scheme.size() + i] ^ token_[i]);
  return difference == 0;
}

HttpResponse HttpApi::Handle(const HttpRequest& request) const {
  const bool authorized = TokenMatches(request.authorization);
  if (request.method == "GET" || request.method == "HEAD") {
    if (request.path == "/" || request.path == "/index.html") {
      HttpResponse r = Text(200, StatusPageHtml());
      r.contentType = "text/html; charset=utf-8";
      return r;
    }
    if (request.path != "/metrics" && request.path != "/api/servers") return Text(404, "not found\n");
    if (!request.fromLoopback && !authorized) return Unauthorized();
    const auto snapshot = snapshots_.Latest();
    const WallTime now = clock_();
    if (request.path == "/metrics") {
      HttpResponse r = Text(200, RenderMetrics(*snapshot, counts_ ? counts_() : ObserverCounts{}, now, version_));
      r.contentType = "text/plain; version=0.0.4; charset=utf-8";
      return r;
    }
    HttpResponse r = Text(200, RenderServersJson(*snapshot, now));
    r.contentType = "application/json";
    return r;
  }
  if (request.method == "POST") {
    std::size_t row = 0;
    std::string verb;
    if (!ParseCommandPath(request.path, row, verb)) return Text(404, "not found\n");
    if (!authorized) return Unauthorized();
    return commands_ ? commands_(verb, row) : Text(503, "no commands\n");
  }
  HttpResponse r = Text(405, "method not allowed\n");
  r.headers.emplace_back("Allow", "GET, POST");
  return r;
}

}  // namespace tervane
