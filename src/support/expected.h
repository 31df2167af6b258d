// What a system call gives: its value, or the system's error code of its failure (errno, or
// GetLastError on Windows), with the system's words for it on demand. The one convention for
// what can fail in support/, net/ and process/; a look at a server's process keeps `Look`,
// where "unknown" is a third answer beside running and absent.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "support/text.h"

namespace tervane {

// A failure's system error code; never 0.
struct SystemError {
  std::uint32_t code;
};

template <typename T>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(SystemError error) : state_(std::in_place_index<1>, error) {}

  bool HasValue() const { return state_.index() == 0; }
  explicit operator bool() const { return HasValue(); }
  // The value; only when there is one.
  T& operator*() { return std::get<0>(state_); }
  const T& operator*() const { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  // The system's error code, or 0 when there is a value.
  std::uint32_t Error() const { return HasValue() ? 0 : std::get<1>(state_).code; }
  // The system's words for the error: "Permission denied (13)"; empty when there is a value.
  std::u16string ErrorText() const { return HasValue() ? std::u16string() : SystemErrorText(Error()); }

 private:
  std::variant<T, SystemError> state_;
};

// What only succeeds or fails.
template <>
class Expected<void> {
 public:
  Expected() = default;
  Expected(SystemError error) : error_(error.code) {}
  // 0 is success, any other code the failure: for the system calls that answer a code.
  static Expected FromCode(std::uint32_t code) { return code == 0 ? Expected() : Expected(SystemError{code}); }

  bool HasValue() const { return error_ == 0; }
  explicit operator bool() const { return HasValue(); }
  std::uint32_t Error() const { return error_; }
  std::u16string ErrorText() const { return HasValue() ? std::u16string() : SystemErrorText(error_); }
  bool operator==(const Expected&) const = default;

 private:
  std::uint32_t error_ = 0;
};

}  // namespace tervane
