// What the HTTP endpoint answers, apart from sockets: the routes, the token rules and the
// commands. The endpoint's threads call Handle; nothing here touches the server list.
//
//   GET  /                              the status page
//   GET  /metrics                       Prometheus text format
//   GET  /api/servers                   the snapshot as JSON (the status document)
//   POST /api/servers/<number>/<verb>   pause, unpause, restart or close one server; numbered
//                                       from 1, as the list shows them
//   POST /api/servers/<number>/restart?in=<minutes>   a warned restart planned (0..1440)
//   POST /api/servers/<number>/cancel   cancels it
//
// A client on another host needs the token (Authorization: Bearer, the scheme in any case) for
// everything but the page itself, whose script sends the token it finds after '#token=' in the
// page's address. Every POST needs the token, from this host too; without a token set, POST is
// refused. A token sent is checked wherever the client is: a wrong one is refused.
//
// A client of this host without the token is served only when its Host header names this host
// (an address literal, "localhost" or the listen address's host): a page of another site that
// a browser on this host was led to through DNS rebinding gets 403.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "monitor/commands.h"
#include "observe/metrics.h"
#include "observe/snapshot.h"

namespace tervane {

struct HttpRequest {
  HttpRequest() = default;
  HttpRequest(std::string method_, std::string path_, std::string authorization_, bool fromLoopback_,
              std::string body_, std::string host_, std::string peer_, std::string query_ = {})
      : method(std::move(method_)),
        path(std::move(path_)),
        authorization(std::move(authorization_)),
        fromLoopback(fromLoopback_),
        body(std::move(body_)),
        host(std::move(host_)),
        peer(std::move(peer_)),
        query(std::move(query_)) {}

  std::string method;
  std::string path;           // without the query
  std::string authorization;  // the header's value
  bool fromLoopback = false;
  std::string body;
  std::string host;  // the Host header's value (empty: none, HTTP/1.0)
  std::string peer;  // the client's address and port, for the operator's record
  std::string query;  // what follows '?' in the target
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// Where an answer goes once it is known: called once, from any thread.
using HttpAnswer = std::function<void(HttpResponse)>;

// Runs a command on the loop's thread and answers its outcome there; the request is the
// command's, for its origin. The server is the one the snapshot answered from gave that number
// (its id, 0 when it gave none: 404); one moved or removed since is refused (409), never another.
using CommandRunner = std::function<void(Command command, std::size_t number, ServerId id, const HttpRequest& request,
                                         HttpAnswer answer)>;

class HttpApi {
 public:
  // listenHost: HttpListen's host, a name this host's clients may use in Host too.
  HttpApi(std::string token, std::string listenHost, const SnapshotBox& snapshots, CommandRunner commands,
          std::function<ObserverCounts()> counts, std::function<WallTime()> clock, std::string version);

  // Answers at once, or for a command once the loop's thread ran it.
  void Handle(const HttpRequest& request, const HttpAnswer& answer) const;

 private:
  bool TokenMatches(const std::string& authorization) const;
  bool HostAllowed(const std::string& host) const;

  std::string token_;
  std::string listenHost_;
  const SnapshotBox& snapshots_;
  CommandRunner commands_;
  std::function<ObserverCounts()> counts_;
  std::function<WallTime()> clock_;
  std::string version_;
};

// The minutes of "in=<minutes>" in a restart's or an update's query (digits only, at most 1440): none when the
// query does not give it; false when it gives something else, or anything but it.
bool ParseRestartIn(std::string_view query, std::optional<int>& minutes);

// The status page: HTML, CSS and script in one text.
const std::string& StatusPageHtml();

}  // namespace tervane
