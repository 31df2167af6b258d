// One owner for every kind of POSIX handle: a descriptor or a folder listing is closed exactly
// once, by whoever holds it last, on every path out of a function.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace tervane {

template <typename Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  UniqueHandle() = default;
  explicit UniqueHandle(Value value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  [[nodiscard]] Value get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::kInvalid; }
  // Gives the handle up without closing it.
  [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::kInvalid); }
  // Closes the handle held, if any, and takes value.
  void reset(Value value = Traits::kInvalid) noexcept {
    const Value old = std::exchange(value_, value);
    if (old != Traits::kInvalid) Traits::Close(old);
  }

 private:
  Value value_ = Traits::kInvalid;
};

struct DescriptorTraits {
  using Value = int;
  static constexpr int kInvalid = -1;
  static void Close(int fd) noexcept { ::close(fd); }
};

struct DirectoryTraits {
  using Value = DIR*;
  static constexpr DIR* kInvalid = nullptr;
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
