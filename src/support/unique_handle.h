// One owner for every kind of system handle, on both platforms: the handle is closed exactly
// once, by the call its kind needs, by whoever holds it last, on every path out of a function.
// A kind is a traits type beside the code of its platform (unique_handle_posix.h,
// unique_handle_win32.h): the handle's type, the value that means "none", which values are
// handles, and the closing call.
#pragma once

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
  explicit operator bool() const noexcept { return Traits::IsValid(value_); }
  // Gives the handle up without closing it.
  [[nodiscard]] Value release() noexcept { return std::exchange(value_, Traits::None()); }
  // Closes the handle held, if any, and takes value.
  void reset(Value value = Traits::None()) noexcept {
    const Value old = std::exchange(value_, value);
    if (Traits::IsValid(old)) Traits::Close(old);
  }

 private:
  Value value_ = Traits::None();
};

}  // namespace tervane
