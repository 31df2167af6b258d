// One server as the running program knows it: the record that serverlist.dat keeps, its
// identity, its live state (what the last look and query found, the phase it is in and what was
// asked of it), and beside them the state of its queries, its plan and its RCON. Whoever shows a
// server renders it from here and keeps its own copies of what it showed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/graceful_stop.h"
#include "core/planned_restarts.h"
#include "core/server_entry.h"
#include "core/server_status.h"
#include "net/rcon.h"

namespace tervane {

// A server's identity in the running program: given when the server is made (loaded, added),
// kept through moves, never given again in the same run; 0 names no server. Not part of the file:
// the doors name a server by it across a wait (a confirmation, a hop to the loop's thread).
using ServerId = std::uint64_t;
// A new identity (any thread). The first of a run comes from the clock, so that a kesp started
// again does not give the numbers of the one before to other servers.
ServerId NewServerId();

// A server: its record (what serverlist.dat holds) with its live status beside it, allocated
// as one so that whatever moves the record moves the status with it.
struct Server : ServerEntry {
  Server() : ServerEntry(NewServerEntry()) {}
  // Paused in the record: paused by the operator, as the list file keeps no other pause.
  explicit Server(const ServerEntry& record) : ServerEntry(record) {
    if (Paused) Status.phase = Phase::PausedByOperator;
  }

  ServerStatus Status;
  ServerId Id = NewServerId();
  // The record's address as last queried and the number it reads as (valid: the text is one a
  // query can go to), so that the cycle sends and matches replies without reading the text
  // again while it stays the same.
  Text8<16> QueriedText{};
  std::uint32_t QueriedAddress = 0;
  bool QueriedValid = false;
  // kesp.ini's planned restarts of this server with their settings, made when the sections are
  // read or a one-off restart is planned (none otherwise); its graceful stop while one is under
  // way; the last RCON failure said, so that the same one is said once.
  std::optional<RestartPlan> Plan;
  GracefulStop Stop;
  std::string RconTrouble;
  // The RCON requests' tie to the server's current process: made when first asked for, set and
  // dropped when that process ends, is ended, is found gone or another starts (Servers does).
  RconWithdrawal RconFor;

  const ServerEntry& Record() const { return *this; }
  // A paused server shows as paused whatever it was doing before.
  ProcessState ProcessStatus() const { return Paused ? ProcessState::Paused : Status.process; }
  NetworkState NetworkStatus() const { return Paused ? NetworkState::Paused : Status.network; }
  bool Stopping() const { return Status.phase == Phase::Stopping; }
  bool PausedByGuard() const { return Paused && Status.phase == Phase::PausedByGuard; }
  // The operator's pause as the doors say it: "closed by the operator" (Close, or its stop under
  // way), "paused by the operator"; nullptr when not paused or paused by the guard.
  const char* OperatorPauseText() const {
    if (!Paused || PausedByGuard()) return nullptr;
    return Status.want == Want::Closed || Status.want == Want::Close ? "closed by the operator" : "paused by the operator";
  }
};

// Position i is row i of the list view and record i of the file; each server is allocated
// on its own so that moving a server moves its record, live state and all.
using ServerList = std::vector<std::unique_ptr<Server>>;

// Where the server of that identity is now; none when it was removed (or id is 0).
std::optional<std::size_t> RowOf(const ServerList& list, ServerId id);
// The row of the server a door named as `number` (from 1) and knew as `id`, when it still has
// that number; otherwise none, and why says what became of it ("server 3 was deleted; nothing
// done", "server 3 is now number 5; nothing done"). Never another server's row.
std::optional<std::size_t> Resolve(const ServerList& list, ServerId id, std::size_t number, std::string* why = nullptr);

}  // namespace tervane
