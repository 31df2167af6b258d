#include "support/descriptors.h"

#include <algorithm>

namespace tervane {

std::uint64_t DescriptorReserve(std::uint64_t limit) {
  return std::min(limit / 2, std::clamp<std::uint64_t>(limit / 8, 64, 1024));
}

}  // namespace tervane
