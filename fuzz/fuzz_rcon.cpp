// RCON answers as any bytes: the Source packet stream in pieces of any size, through the
// reader and the whole exchange, and GoldSrc datagrams through their reader and the exchange.
// The first byte chooses the piece size and whether the server has already accepted us, so
// that the answer phase is reached without the fuzzer having to find the auth answer first.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/rcon.h"

namespace {

using tervane::GoldSrcDatagram;
using tervane::GoldSrcRconSession;
using tervane::kRconMaxAnswer;
using tervane::SourcePacket;
using tervane::SourcePacketReader;
using tervane::SourceRconSession;

void Source(std::span<const std::uint8_t> bytes, std::size_t piece, bool accepted) {
  SourcePacketReader reader;
  SourceRconSession session("pw", "status");
  session.TakeOutgoing();
  if (accepted) session.Receive(tervane::BuildSourcePacket(SourceRconSession::kAuthId, 2, ""));
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const auto part = bytes.subspan(at, std::min(piece, bytes.size() - at));
    reader.Append(part);
    SourcePacket packet;
    while (reader.Next(packet) == SourcePacketReader::Step::Packet)
      if (packet.body.size() > static_cast<std::size_t>(tervane::kSourceRconMaxSize))
        __builtin_trap();
    session.Receive(part);
  }
  session.ServerClosed();
  if (!session.Finished() || session.result().answer.size() > kRconMaxAnswer) __builtin_trap();
}

void GoldSrc(std::span<const std::uint8_t> bytes, bool accepted) {
  GoldSrcRconSession session("pw", "status");
  session.TakeOutgoing();
  if (accepted) {
    const std::uint8_t challenge[] = {0xFF, 0xFF, 0xFF, 0xFF, 'c', 'h', 'a', 'l', 'l', 'e', 'n',
                                      'g',  'e',  ' ',  'r',  'c', 'o', 'n', ' ', '4', '2', '\n'};
    session.Receive(challenge);
  }
  // Datagrams: each led by its length byte.
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t length = std::min<std::size_t>(bytes[at], bytes.size() - at - 1);
    const auto datagram = bytes.subspan(at + 1, length);
    at += 1 + length;
    const GoldSrcDatagram read = tervane::ReadGoldSrcDatagram(datagram);
    if (read.text.size() > datagram.size()) __builtin_trap();
    if (read.kind == GoldSrcDatagram::Kind::Challenge &&
        (read.text.empty() || read.text.size() > 10))
      __builtin_trap();
    session.Receive(datagram);
  }
  session.QuietTimeOver();
  if (session.result().answer.size() > kRconMaxAnswer) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const bool accepted = (data[0] & 0x80) != 0;
  Source(bytes, 1 + (data[0] & 0x3F), accepted);
  GoldSrc(bytes, accepted);
  return 0;
}
