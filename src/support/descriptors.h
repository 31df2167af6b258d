// The program's open descriptors (files, sockets, process handles): on Linux the soft limit is
// raised at start to what the system allows, and a reserve below the limit is kept for the
// supervision's own needs (looking at processes, starting servers, saving the list, the log),
// which no front door (a client's connection) and no optional use may take. Windows has no
// such limit: there every question answers yes.
#pragma once

#include <cstdint>

namespace tervane {

// The descriptors kept for the supervision out of a limit: an eighth, at least 64 and at most
// 1024, and never more than half.
std::uint64_t DescriptorReserve(std::uint64_t limit);

// Raises the soft limit of open descriptors to the hard limit; answers the limit in force
// afterwards (0 where there is none).
std::uint64_t RaiseDescriptorLimit();

// Whether a front door, or an optional use such as holding a process by a handle, may take one
// more descriptor now: the lowest free descriptor lies below the limit less the reserve. Since
// the system always gives the lowest free one, what these take stays below that line and the
// reserve above it stays free. Cheap enough for every accept (two system calls), and safe on
// any thread.
bool FrontDoorMayTakeDescriptor();

}  // namespace tervane
