#include "support/descriptors.h"

#include <atomic>
#include <limits>
#include <mutex>
#include <utility>

namespace tervane {

namespace {

// Held for good whatever the list: the standard streams, the lock, the signals' descriptor,
// the loop's wake-up pipe, the query socket, the control socket, the HTTP endpoint's listener
// and reactor, the probe's anchor, and a few the libraries keep.
constexpr std::uint64_t kHeldForGood = 16;
// A pidfd per server, held while its process runs.
constexpr std::uint64_t kPerServer = 1;
// Taken for a moment, several at once on different threads: a look (the process list and one
// file), a start (the output file), a save (the file and its folder), the RCON exchanges, the
// alerts, the output cap, a door's refusal and the probes. The probe of TakeDoorDescriptor
// keeps it free of the doors.
constexpr std::uint64_t kMargin = 16;

std::atomic<std::uint64_t> supervised{0};
std::atomic<std::uint64_t> doorsHeld{0};
std::mutex noticeMutex;
std::function<void(const std::string&)> notice;  // under noticeMutex
bool refusalSaid = false;                         // under noticeMutex

}  // namespace

std::uint64_t DescriptorReserve(std::uint64_t servers) { return kHeldForGood + servers * kPerServer + kMargin; }

std::uint64_t DoorDescriptorShare(std::uint64_t limit, std::uint64_t servers) {
  if (limit == 0) return std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t reserve = DescriptorReserve(servers);
  return limit > reserve ? limit - reserve : 0;
}

void SetSupervisedServers(std::uint64_t servers) { supervised = servers; }

DoorDescriptor& DoorDescriptor::operator=(DoorDescriptor&& other) noexcept {
  if (this != &other) {
    Release();
    held_ = other.held_;
    other.held_ = false;
  }
  return *this;
}

void DoorDescriptor::Release() {
  if (held_) --doorsHeld;
  held_ = false;
}

DoorDescriptor TakeDoorDescriptor() {
  DoorDescriptor token;
  const std::uint64_t limit = DescriptorLimitNow();
  const std::uint64_t share = DoorDescriptorShare(limit, supervised);
  std::uint64_t held = doorsHeld.load();
  do {
    if (held >= share) return token;
  } while (!doorsHeld.compare_exchange_weak(held, held + 1));
  token.held_ = true;
  // Counted first, so that two threads never both take the last place; given back when the
  // descriptors themselves are fewer than the count supposes (some other use holds more).
  if (limit != 0 && !LowestFreeDescriptorBelow(limit > kMargin ? limit - kMargin : 0)) token.Release();
  return token;
}

std::string DoorRefusal() {
  const std::uint64_t limit = DescriptorLimitNow();
  const std::uint64_t servers = supervised;
  const std::string why = "no descriptor to spare: the limit is " + std::to_string(limit) +
                          " open files, and the supervision of " + std::to_string(servers) + " server(s) keeps " +
                          std::to_string(DescriptorReserve(servers)) +
                          " of them; raise the limit (ulimit -n, or LimitNOFILE= in its service)";
  std::lock_guard<std::mutex> lock(noticeMutex);
  if (notice && !refusalSaid) {
    refusalSaid = true;
    notice(why);
  }
  return why;
}

void SetDoorRefusalNotice(std::function<void(const std::string& why)> told) {
  std::lock_guard<std::mutex> lock(noticeMutex);
  notice = std::move(told);
}

bool OptionalDescriptorMayStay(int taken) {
  const std::uint64_t limit = DescriptorLimitNow();
  return limit == 0 || (taken >= 0 && static_cast<std::uint64_t>(taken) < (limit > kMargin ? limit - kMargin : 0));
}

}  // namespace tervane
