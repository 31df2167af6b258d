// Windows limits handles by memory, not by a count per process: nothing to raise or reserve.
#include "support/descriptors.h"

namespace tervane {

std::uint64_t RaiseDescriptorLimit() { return 0; }

std::uint64_t DescriptorLimitNow() { return 0; }

bool LowestFreeDescriptorBelow(std::uint64_t) { return true; }

}  // namespace tervane
