// What the HTTP endpoint answers, apart from sockets: the routes, the token rules and the
// commands. The endpoint's threads call Handle; nothing here touches the server list.
//
//   GET  /                              the status page
//   GET  /metrics                       Prometheus text format
//   GET  /api/servers                   the snapshot as JSON
//   POST /api/servers/<row>/<verb>      pause, unpause, restart or close one server
//
// A client on another host needs the token (Authorization: Bearer) for everything but the
// page itself, whose script sends the token it finds after '#token=' in the page's address.
// Every POST needs the token, from this host too; without a token set, POST is refused.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "observe/metrics.h"
#include "observe/snapshot.h"

namespace tervane {

struct HttpRequest {
  std::string method;
  std::string path;           // without the query
  std::string authorization;  // the header's value
  bool fromLoopback = false;
  std::string body;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// Runs a command on the loop's thread and answers its outcome; status 404 for a row past the
// end, 503 when the loop did not take it in time.
using CommandRunner = std::function<HttpResponse(const std::string& verb, std::size_t row)>;

class HttpApi {
 public:
  HttpApi(std::string token, const SnapshotBox& snapshots, CommandRunner commands,
          std::function<ObserverCounts()> counts, std::function<WallTime()> clock, std::string version);

  HttpResponse Handle(const HttpRequest& request) const;

 private:
  bool TokenMatches(const std::string& authorization) const;

  std::string token_;
  const SnapshotBox& snapshots_;
  CommandRunner commands_;
  std::function<ObserverCounts()> counts_;
  std::function<WallTime()> clock_;
  std::string version_;
};

// The status page: HTML, CSS and script in one text.
const std::string& StatusPageHtml();

}  // namespace tervane
