// Failures that a catch-all swallowed so that the program runs on (a supervision pass, a
// handler of the message loop, a start-up step): each leaves a trace here, so that they can be
// counted and the last one named, instead of vanishing.
#pragma once

#include <cstdint>
#include <string>

namespace tervane {

// Counts one swallowed failure in `where` (a short name of the pass or step that ended).
void NoteFailure(const char* where) noexcept;
std::uint64_t FailureCount() noexcept;
// The `where` of the last failure, or empty.
std::string LastFailure();

}  // namespace tervane
