// Between the portable part of the files (file.cpp) and its platform halves (file_posix.cpp,
// file_win32.cpp): the system calls the portable part is built on, and the listing's name rule
// that both halves apply. Not for other callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "support/file.h"

namespace tervane::file_platform {

// One read or write call on an open file: the bytes moved (more than 0), 0 when nothing moved
// (the end of the file), below 0 on failure. An interrupted call is repeated.
[[nodiscard]] std::ptrdiff_t ReadSome(std::intptr_t handle, void* buffer, std::size_t n);
[[nodiscard]] std::ptrdiff_t WriteSome(std::intptr_t handle, const void* buffer,
                                       std::size_t n);
// The system's error code of the call that just failed on this thread.
[[nodiscard]] std::uint32_t LastError();
// The code of a full disk (ENOSPC, ERROR_DISK_FULL).
[[nodiscard]] std::uint32_t NoSpaceError();

// Nothing when nothing is at the path, otherwise whether it is a folder.
[[nodiscard]] std::optional<bool> IsFolder(const Path& path);

// Moves from over to in one step, replacing to, and makes the new name durable.
[[nodiscard]] Expected<void> MoveOver(const Path& from, const Path& to);

// Whether name ends with suffix, without regard to ASCII case (the listing's rule).
[[nodiscard]] bool EndsWithSuffix(std::u16string_view name, std::u16string_view suffix);

}  // namespace tervane::file_platform
