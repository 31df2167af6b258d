// The Linux loop's descriptor watches: how a platform half (the UDP endpoint) hears that a
// descriptor is readable or writable. The callbacks run on the loop's thread, from Run or
// RunUntil, between timer ticks.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>

#include "support/event_loop.h"

namespace tervane {

class DescriptorWatch {
 public:
  // Watches fd for the poll() events given (POLLIN, POLLOUT; errors and hang-ups are always
  // reported); onReady receives the events that occurred. The descriptor stays the caller's.
  DescriptorWatch(EventLoop& loop, int fd, short events, std::function<void(short revents)> onReady);
  // After destruction the callback is never called again, even when its events were
  // already collected by the running loop pass.
  ~DescriptorWatch();
  DescriptorWatch(const DescriptorWatch&) = delete;
  DescriptorWatch& operator=(const DescriptorWatch&) = delete;

  void SetEvents(short events);
  short Events() const;

 private:
  EventLoop& loop_;
  std::uint64_t id_;
};

}  // namespace tervane
