// ServerEntry: one supervised server, settings and live state, as the fixed 1770-byte
// little-endian record that serverlist.dat holds byte for byte. Every field type has an
// alignment of one byte, so the record has no padding on any compiler and any field may
// sit at an odd offset (Affinity starts at 1631).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace tervane {

// A little-endian integer stored as bytes.
template <typename T>
struct LE {
  static_assert(std::is_integral_v<T>);
  unsigned char bytes[sizeof(T)];

  constexpr operator T() const {
    using U = std::make_unsigned_t<T>;
    U v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<U>(static_cast<U>(bytes[i]) << (8 * i));
    return static_cast<T>(v);
  }
  constexpr LE& operator=(T value) {
    using U = std::make_unsigned_t<T>;
    U v = static_cast<U>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
    return *this;
  }
  LE& operator+=(T d) { return *this = static_cast<T>(static_cast<T>(*this) + d); }
};

// UTF-16LE text of N code units: the text, then zero units up to the width.
template <std::size_t N>
struct Text16 {
  unsigned char bytes[2 * N];

  static constexpr std::size_t kWidth = N;
  char16_t at(std::size_t i) const {
    return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  // The text up to the first zero unit or the full width.
  std::u16string str() const {
    std::u16string out;
    CopyTo(out);
    return out;
  }
  // The units before the first zero unit (N when there is none).
  std::size_t Length() const {
    std::size_t length = 0;
    while (length < N && (bytes[2 * length] | bytes[2 * length + 1]) != 0) ++length;
    return length;
  }
  // The same into out, whose storage is kept: no allocation once out has held as long a text.
  void CopyTo(std::u16string& out) const {
    out.clear();
    for (std::size_t i = 0; i < N && at(i) != 0; ++i) out.push_back(at(i));
  }
  // Whether the field holds exactly text, compared in place.
  bool Holds(std::u16string_view text) const {
    const std::size_t length = Length();
    if (length != text.size()) return false;
    if constexpr (std::endian::native == std::endian::little) {
      return std::memcmp(bytes, text.data(), 2 * length) == 0;
    } else {
      for (std::size_t i = 0; i < length; ++i)
        if (text[i] != at(i)) return false;
      return true;
    }
  }
  // Clears the field, then stores at most max units (N by default) of text.
  void assign(std::u16string_view text, std::size_t max = N) {
    std::memset(bytes, 0, sizeof bytes);
    if (max > N) max = N;
    for (std::size_t i = 0; i < text.size() && i < max; ++i) {
      bytes[2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
      bytes[2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
    }
  }
};

// 8-bit text of N bytes: the text, then zero bytes up to the width.
template <std::size_t N>
struct Text8 {
  char bytes[N];

  static constexpr std::size_t kWidth = N;
  std::string str() const { return std::string(view()); }
  // The same text in place, without a copy.
  std::string_view view() const {
    std::size_t n = 0;
    while (n < N && bytes[n] != 0) ++n;
    return std::string_view(bytes, n);
  }
  void assign(std::string_view text, std::size_t max = N) {
    std::memset(bytes, 0, sizeof bytes);
    if (max > N) max = N;
    std::memcpy(bytes, text.data(), text.size() < max ? text.size() : max);
  }
};

struct ServerEntry {
  Text16<32> Name;           // at most 31 characters
  Text8<16> IPAddress;       // derived from Params
  LE<std::uint16_t> Port;    // derived from Params
  LE<std::int16_t> ReplyKind;
  Text16<261> FileName;      // at most 260 characters
  Text16<512> Params;        // at most 511 characters
  std::uint8_t Priority;     // 0 Normal, 1 High, 2 Real Time
  LE<std::uint32_t> Affinity;
  LE<std::int32_t> Restarts;  // -1: neither seen running nor started since load
  std::uint8_t Reserved1[60];
  LE<std::int16_t> TimeoutCount;
  LE<std::int16_t> LostCount;
  std::uint8_t HideServer;
  std::uint8_t WaitReply;
  std::uint8_t Paused;
  std::uint8_t Reserved2[64];
};

inline constexpr std::size_t kServerEntrySize = 1770;

static_assert(std::is_standard_layout_v<ServerEntry>);
static_assert(std::is_trivially_copyable_v<ServerEntry>);
static_assert(alignof(ServerEntry) == 1);
static_assert(sizeof(ServerEntry) == kServerEntrySize);
static_assert(offsetof(ServerEntry, Name) == 0);
static_assert(offsetof(ServerEntry, IPAddress) == 64);
static_assert(offsetof(ServerEntry, Port) == 80);
static_assert(offsetof(ServerEntry, ReplyKind) == 82);
static_assert(offsetof(ServerEntry, FileName) == 84);
static_assert(offsetof(ServerEntry, Params) == 606);
static_assert(offsetof(ServerEntry, Priority) == 1630);
static_assert(offsetof(ServerEntry, Affinity) == 1631);
static_assert(offsetof(ServerEntry, Restarts) == 1635);
static_assert(offsetof(ServerEntry, Reserved1) == 1639);
static_assert(offsetof(ServerEntry, TimeoutCount) == 1699);
static_assert(offsetof(ServerEntry, LostCount) == 1701);
static_assert(offsetof(ServerEntry, HideServer) == 1703);
static_assert(offsetof(ServerEntry, WaitReply) == 1704);
static_assert(offsetof(ServerEntry, Paused) == 1705);
static_assert(offsetof(ServerEntry, Reserved2) == 1706);

// A record with every byte zero.
inline ServerEntry ZeroEntry() {
  ServerEntry e;
  std::memset(&e, 0, sizeof e);
  return e;
}

// The initial values of a new record: every byte zero, Restarts -1.
inline ServerEntry NewServerEntry() {
  ServerEntry e = ZeroEntry();
  e.Restarts = -1;
  return e;
}

}  // namespace tervane
