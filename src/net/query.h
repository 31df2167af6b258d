// The query datagrams the program sends and the reading of what comes back: the info query
// ('I' reply), the older details query ('m' reply), the self-test datagram that the endpoint
// sends to itself, and the challenge a newer server may answer the info query with.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tervane {

inline constexpr std::array<std::uint8_t, 25> InfoQuery = {
    0xFF, 0xFF, 0xFF, 0xFF, 'T', 'S', 'o', 'u', 'r', 'c', 'e', ' ', 'E',
    'n',  'g',  'i',  'n',  'e', ' ', 'Q', 'u', 'e', 'r', 'y', 0x00};
inline constexpr std::array<std::uint8_t, 12> DetailsQuery = {0xFF, 0xFF, 0xFF, 0xFF, 'd', 'e',
                                                              't',  'a',  'i',  'l',  's', 0x00};
inline constexpr std::array<std::uint8_t, 8> SelfTestDatagram = {'s', 'e', 'l', 'f',
                                                                 't', 'e', 's', 't'};
inline constexpr std::uint32_t kSelfTestAddressValue = 0x7F000001;  // 127.0.0.1, host byte order

// ReplyKind values of a server.
inline constexpr std::int16_t kReplyNone = 0;
inline constexpr std::int16_t kReplyDetailsOld = 1;  // details reply, protocol 46 or lower
inline constexpr std::int16_t kReplyDetailsNew = 2;  // details reply, protocol above 46
inline constexpr std::int16_t kReplyInfo = 3;

struct ParsedDatagram {
  enum class Kind { Ignored, SelfTest, Reply, Challenge };
  Kind kind = Kind::Ignored;
  std::int16_t replyKind = kReplyNone;  // for a Reply
  std::string map;                      // 8-bit text, for a Reply
  int players = 0;
  int maxPlayers = 0;
  int protocol = 0;                     // the server's protocol version, for a Reply
  // How many of the players are bots, when the reply says (the byte after the maximum in an
  // info reply, the last of a details reply); none when it ends before it.
  std::optional<int> bots;
  // The game's version and app id, from an info reply (empty, 0: not said). The version is
  // taken only when its zero byte lies within the datagram: a cut one would read as another
  // version. The app id is the extra data's game id (its low 24 bits) when the reply carries
  // it whole, else the short app id after the protocol.
  std::string version;
  std::uint32_t appId = 0;
  std::array<std::uint8_t, 4> challenge{};  // for a Challenge
};

// Reads one received datagram: its bytes, the sender's dotted address and port, and the
// endpoint's own port. Every field is bounded by the datagram's length; a string that runs to
// the end is ended there, and the last one-byte field reads as 0 when it lies just past the end.
ParsedDatagram ParseDatagram(std::span<const std::uint8_t> data, std::string_view senderAddress,
                             std::uint16_t senderPort, std::uint16_t localPort);
// The same with the sender's address as a number in host byte order, as the endpoint reads it.
ParsedDatagram ParseDatagram(std::span<const std::uint8_t> data, std::uint32_t senderAddress,
                             std::uint16_t senderPort, std::uint16_t localPort);

// The info query with a server's 4 challenge bytes appended (29 bytes).
std::array<std::uint8_t, 29> InfoQueryWithChallenge(const std::array<std::uint8_t, 4>& challenge);

}  // namespace tervane
