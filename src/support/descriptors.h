// The program's open descriptors (files, sockets, process handles): on Linux the soft limit is
// raised at start to what the system allows, and what the supervision needs is kept for it:
// what it holds for good (its own files and sockets, a pidfd per server), what it takes for a
// moment (a look, a start, a save, RCON exchanges, the alerts), and a margin. The doors (a
// client's connection to the control socket or the HTTP endpoint) share what is left, and
// count what they hold. Windows has no such limit: there every door is let in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tervane {

// What the supervision of so many servers needs of the descriptors.
std::uint64_t DescriptorReserve(std::uint64_t servers);
// The doors' share of a limit (0: none at all); a limit of 0 is none: every door is let in.
std::uint64_t DoorDescriptorShare(std::uint64_t limit, std::uint64_t servers);

// Raises the soft limit of open descriptors to the hard limit; answers the limit in force
// afterwards (0 where there is none).
std::uint64_t RaiseDescriptorLimit();

// The servers supervised now, which the reserve is sized for; any thread.
void SetSupervisedServers(std::uint64_t servers);

// One descriptor of the doors' share, held by a client's connection while the token lives.
class DoorDescriptor {
 public:
  DoorDescriptor() = default;  // holds nothing
  DoorDescriptor(DoorDescriptor&& other) noexcept : held_(other.held_) { other.held_ = false; }
  DoorDescriptor& operator=(DoorDescriptor&& other) noexcept;
  ~DoorDescriptor() { Release(); }
  explicit operator bool() const { return held_; }

 private:
  friend DoorDescriptor TakeDoorDescriptor();
  void Release();
  bool held_ = false;
};

// A descriptor for a client a door accepted: while the doors' share has room, and one lies free
// below the margin kept for the supervision's moments. Cheap enough for every accept, and safe
// on any thread.
DoorDescriptor TakeDoorDescriptor();
// Why a door takes no more clients now, in words for the client: the limit, and what the
// supervision of its servers keeps. The first refusal of the program's run is said to the
// notice as well (the log).
std::string DoorRefusal();
// Where that first refusal is said; any thread may say it. None: nowhere.
void SetDoorRefusalNotice(std::function<void(const std::string& why)> notice);

// Whether a descriptor an optional use of the supervision (holding a process by a pidfd) just
// took, the lowest free one then, may stay: it lies below the margin kept for the supervision's
// moments.
bool OptionalDescriptorMayStay(int taken);

// The platform's halves: the limit in force (0: none), and whether the lowest free descriptor
// lies below a line.
std::uint64_t DescriptorLimitNow();
bool LowestFreeDescriptorBelow(std::uint64_t line);

}  // namespace tervane
