// The POSIX kinds of owned handle: descriptors and folder listings.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "support/unique_handle.h"

namespace tervane {

struct DescriptorTraits {
  using Value = int;
  static constexpr int None() noexcept { return -1; }
  static constexpr bool IsValid(int fd) noexcept { return fd >= 0; }
  static void Close(int fd) noexcept { ::close(fd); }
};

struct DirectoryTraits {
  using Value = DIR*;
  static constexpr DIR* None() noexcept { return nullptr; }
  static constexpr bool IsValid(DIR* dir) noexcept { return dir != nullptr; }
  static void Close(DIR* dir) noexcept { ::closedir(dir); }
};

using UniqueFd = UniqueHandle<DescriptorTraits>;
using UniqueDir = UniqueHandle<DirectoryTraits>;

// Makes a descriptor non-blocking and keeps it out of the processes the monitor starts.
inline void SetNonBlockingCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const int fdFlags = ::fcntl(fd, F_GETFD);
  if (fdFlags != -1) ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC);
}

}  // namespace tervane
