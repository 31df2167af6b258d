#include "net/query.h"

#include <cstring>

#include "net/vel_udp.h"

namespace tervane {
namespace {

// Reads over the datagram as if a zero byte stood at position n, as the receive buffer of
// n + 1 zeroed bytes has it.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

  std::uint8_t At(std::size_t pos) const { return pos < data_.size() ? data_[pos] : 0; }

  // A zero-ended string; false when the position after it lies beyond n.
  bool String(std::string* out) {
    std::size_t start = pos_;
    while (pos_ < data_.size() && data_[pos_] != 0) ++pos_;
    if (out) out->assign(reinterpret_cast<const char*>(data_.data()) + start, pos_ - start);
    ++pos_;  // the terminator (at position n at the latest)
    return pos_ <= data_.size();
  }
  bool Skip(std::size_t count) {
    pos_ += count;
    return pos_ <= data_.size();
  }
  // A one-byte field that must end within n.
  bool Byte(int* out) {
    if (pos_ + 1 > data_.size()) return false;
    *out = data_[pos_++];
    return true;
  }
  // The last field: read at a position of at most n (position n reads the terminating zero).
  bool LastByte(int* out) {
    if (pos_ > data_.size()) return false;
    *out = At(pos_++);
    return true;
  }
  void Seek(std::size_t pos) { pos_ = pos; }
  std::size_t Pos() const { return pos_; }
  // A zero-ended string whose zero byte lies within n; false (and nothing taken) otherwise.
  bool WholeString(std::string* out) {
    std::size_t end = pos_;
    while (end < data_.size() && data_[end] != 0) ++end;
    if (end >= data_.size()) return false;
    if (out) out->assign(reinterpret_cast<const char*>(data_.data()) + pos_, end - pos_);
    pos_ = end + 1;
    return true;
  }
  // A little-endian number of `count` bytes that must end within n.
  bool Number(std::size_t count, std::uint64_t* out) {
    if (pos_ > data_.size() || data_.size() - pos_ < count) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < count; ++i) v |= static_cast<std::uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += count;
    *out = v;
    return true;
  }
  // A byte beyond what decides the reply: read only when it lies within n, never making the
  // reply fail.
  std::optional<int> Extra() {
    if (pos_ >= data_.size()) return std::nullopt;
    return data_[pos_++];
  }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

// The bots of a details reply, after its protocol: server type, environment, visibility, the
// mod flag and, for a mod, its link, download link, a zero byte, version, size, type and
// library flag; then the anti-cheat flag and the bots.
std::optional<int> DetailsBots(Reader& r) {
  std::optional<int> mod;
  for (int i = 0; i < 4; ++i) mod = r.Extra();
  if (!mod) return std::nullopt;
  if (*mod == 1) {
    if (!r.String(nullptr) || !r.String(nullptr) || !r.Skip(1 + 4 + 4 + 1 + 1)) return std::nullopt;
  }
  return r.Extra() ? r.Extra() : std::nullopt;
}

// The version and app id of an info reply, after its bots: server type, environment,
// visibility, anti-cheat flag (The Ship, app id 2400, has three bytes more), the version, then
// the extra data flag and the fields it announces in their order: game port, SteamID,
// spectator port and name, keywords, game id. Whatever is cut leaves what was read before.
void InfoVersionAndAppId(Reader& r, ParsedDatagram& result) {
  constexpr std::uint32_t kTheShip = 2400;
  if (!r.Skip(4)) return;
  if (result.appId == kTheShip && !r.Skip(3)) return;
  if (!r.WholeString(&result.version)) return;
  const std::optional<int> flags = r.Extra();
  if (!flags) return;
  std::uint64_t skipped = 0;
  if ((*flags & 0x80) && !r.Number(2, &skipped)) return;
  if ((*flags & 0x10) && !r.Number(8, &skipped)) return;
  if ((*flags & 0x40) && (!r.Number(2, &skipped) || !r.WholeString(nullptr))) return;
  if ((*flags & 0x20) && !r.WholeString(nullptr)) return;
  std::uint64_t gameId = 0;
  if ((*flags & 0x01) && r.Number(8, &gameId)) result.appId = static_cast<std::uint32_t>(gameId & 0xFFFFFF);
}

}  // namespace

ParsedDatagram ParseDatagram(std::span<const std::uint8_t> data, std::string_view senderAddress,
                             std::uint16_t senderPort, std::uint16_t localPort) {
  // Only the dotted form the endpoint writes stands for an address here, as a text compared.
  const std::uint32_t address = ParseDottedIPv4(senderAddress);
  const bool same = address != kAddressNone && FormatDottedIPv4(address) == senderAddress;
  return ParseDatagram(data, same ? address : kAddressNone, senderPort, localPort);
}

ParsedDatagram ParseDatagram(std::span<const std::uint8_t> data, std::uint32_t senderAddress,
                             std::uint16_t senderPort, std::uint16_t localPort) {
  ParsedDatagram result;
  const std::size_t n = data.size();

  // The self-test: "selftest" up to the first zero byte, from our own address and port.
  std::size_t textLength = 0;
  while (textLength < n && data[textLength] != 0) ++textLength;
  if (textLength == SelfTestDatagram.size() &&
      std::memcmp(data.data(), SelfTestDatagram.data(), SelfTestDatagram.size()) == 0 &&
      senderAddress == kSelfTestAddressValue && senderPort == localPort) {
    result.kind = ParsedDatagram::Kind::SelfTest;
    return result;
  }

  if (n < 5 || data[0] != 0xFF || data[1] != 0xFF || data[2] != 0xFF || data[3] != 0xFF)
    return result;

  Reader r(data);
  r.Seek(5);
  switch (data[4]) {
    case 'I': {
      int& protocol = result.protocol;
      std::uint64_t shortAppId = 0;
      if (!r.Byte(&protocol) || !r.String(nullptr) || !r.String(&result.map) ||
          !r.String(nullptr) || !r.String(nullptr) || !r.Number(2, &shortAppId) ||
          !r.Byte(&result.players) || !r.LastByte(&result.maxPlayers))
        return ParsedDatagram{};
      result.replyKind = kReplyInfo;
      result.appId = static_cast<std::uint32_t>(shortAppId);
      result.bots = r.Extra();
      if (result.bots) InfoVersionAndAppId(r, result);
      break;
    }
    case 'm': {
      int& protocol = result.protocol;
      if (!r.String(nullptr) || !r.String(nullptr) || !r.String(&result.map) ||
          !r.String(nullptr) || !r.String(nullptr) || !r.Byte(&result.players) ||
          !r.Byte(&result.maxPlayers) || !r.LastByte(&protocol))
        return ParsedDatagram{};
      result.replyKind = protocol <= 46 ? kReplyDetailsOld : kReplyDetailsNew;
      result.bots = DetailsBots(r);
      break;
    }
    case 'A': {
      // A challenge: the info query must be sent again with these four bytes appended.
      if (n < 9) return result;
      std::memcpy(result.challenge.data(), data.data() + 5, 4);
      result.kind = ParsedDatagram::Kind::Challenge;
      return result;
    }
    default:
      return result;
  }
  result.kind = ParsedDatagram::Kind::Reply;
  return result;
}

std::array<std::uint8_t, 29> InfoQueryWithChallenge(const std::array<std::uint8_t, 4>& challenge) {
  std::array<std::uint8_t, 29> out{};
  std::memcpy(out.data(), InfoQuery.data(), InfoQuery.size());
  std::memcpy(out.data() + InfoQuery.size(), challenge.data(), challenge.size());
  return out;
}

}  // namespace tervane
