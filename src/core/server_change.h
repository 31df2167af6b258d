// What changed among the servers, as Servers tells it on its one list of changes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/server.h"
#include "core/server_status.h"

namespace tervane {

// One start that a server's supervision made: which server, why, and what the system answered;
// or the restart the crash-loop guard refused, for which the server was paused instead.
struct StartRecord {
  std::size_t index = 0;
  RestartReason reason = RestartReason::FirstStart;
  std::uint32_t error = 0;
  WallTime time = 0;
  bool pausedByGuard = false;
};

struct ServerChange {
  enum class What : std::uint8_t {
    Added,    // appended at row
    Removed,  // was at row
    Moved,    // from `from` to row
    Loaded,   // the whole list replaced (a list file just loaded)
    Edited,   // its record was edited (name, address, priority...)
    State,    // its live state changed (what a look or query found, a pause, a start)
    Started,  // a start was recorded and logged: start says which
    Guarded,  // the crash-loop guard refused a restart and paused the server: start says which
    UpdateEnded,  // its installation's update command ended: its status's update says how
  };
  What what = What::State;
  std::size_t row = 0;
  std::size_t from = 0;
  ServerId id = 0;
  StartRecord start;

  // Whether the numbering of the servers changed (the HTTP door binds commands by it).
  bool Renumbers() const {
    return what == What::Added || what == What::Removed || what == What::Moved || what == What::Loaded;
  }
  // Whether it is a start or the guard's pause (the alerts; the save of the guard's pause).
  bool IsStart() const { return what == What::Started || what == What::Guarded; }
};

}  // namespace tervane
