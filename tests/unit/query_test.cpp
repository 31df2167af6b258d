#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakesrv.h"
#include "net/query.h"

namespace tervane {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = ParsedDatagram::Kind;

constexpr std::uint16_t kLocal = 40000;

Bytes Header(char type) { return Bytes{0xFF, 0xFF, 0xFF, 0xFF, static_cast<std::uint8_t>(type)}; }

// The stand-in server's replies; the tests cut them after a field, as a short reply ends.
// Folder "cstrike", description "Counter-Strike" and 32 players at most are its defaults.
fakesrv::Settings Server(const std::string& name, const std::string& map) {
  fakesrv::Settings s;
  s.name = name;
  s.map = map;
  s.appId = 10;
  s.players = 12;
  s.protocol = 17;
  return s;
}

Bytes Cut(Bytes b, std::size_t size) {
  b.resize(size);
  return b;
}

// An info reply up to and including the application id: header, protocol, "My Server",
// "de_dust2", "cstrike", "Counter-Strike" (each with its zero byte), the id.
Bytes InfoUpToAppId() {
  return Cut(fakesrv::BuildInfoReply(Server("My Server", "de_dust2")), 5 + 1 + 10 + 9 + 8 + 15 + 2);
}

// Header, "127.0.0.1:27015", "Old Server", "cs_office", "cstrike", "Counter-Strike", players
// 12, maximum 32.
Bytes DetailsUpToMaxPlayers() {
  return Cut(fakesrv::BuildDetailsReply(Server("Old Server", "cs_office"), "127.0.0.1:27015"),
             5 + 16 + 11 + 10 + 8 + 15 + 2);
}

ParsedDatagram Parse(const Bytes& b, const char* from = "127.0.0.1", std::uint16_t port = 27015) {
  return ParseDatagram(b, from, port, kLocal);
}

TEST(QueryDatagrams, ExactBytes) {
  const std::string info(InfoQuery.begin(), InfoQuery.end());
  EXPECT_EQ(info, std::string("\xFF\xFF\xFF\xFFTSource Engine Query\0", 25));
  const std::string details(DetailsQuery.begin(), DetailsQuery.end());
  EXPECT_EQ(details, std::string("\xFF\xFF\xFF\xFF" "details\0", 12));
  EXPECT_EQ(std::string(SelfTestDatagram.begin(), SelfTestDatagram.end()), "selftest");
  const auto withChallenge = InfoQueryWithChallenge({1, 2, 3, 4});
  EXPECT_EQ(std::string(withChallenge.begin(), withChallenge.begin() + 25), info);
  EXPECT_EQ(withChallenge[25], 1);
  EXPECT_EQ(withChallenge[28], 4);
}

TEST(SelfTest, OnlyFromOurOwnAddressAndPort) {
  const Bytes selftest(SelfTestDatagram.begin(), SelfTestDatagram.end());
  EXPECT_EQ(Parse(selftest, "127.0.0.1", kLocal).kind, Kind::SelfTest);
  EXPECT_EQ(Parse(selftest, "127.0.0.2", kLocal).kind, Kind::Ignored);
  EXPECT_EQ(Parse(selftest, "127.0.0.1", kLocal + 1).kind, Kind::Ignored);
  Bytes trailing = selftest;
  trailing.push_back(0);
  trailing.push_back('x');
  EXPECT_EQ(Parse(trailing, "127.0.0.1", kLocal).kind, Kind::SelfTest)
      << "bytes after a zero byte do not matter";
  EXPECT_EQ(Parse(Bytes{'s', 'e', 'l', 'f', 't', 'e', 's', 't', 's'}, "127.0.0.1", kLocal).kind,
            Kind::Ignored);
}

TEST(InfoReply, FullReplyGivesMapPlayersAndKind) {
  const auto r = Parse(fakesrv::BuildInfoReply(Server("My Server", "de_dust2")));
  ASSERT_EQ(r.kind, Kind::Reply);
  EXPECT_EQ(r.replyKind, kReplyInfo);
  EXPECT_EQ(r.map, "de_dust2");
  EXPECT_EQ(r.players, 12);
  EXPECT_EQ(r.maxPlayers, 32);
}

TEST(InfoReply, TruncationRules) {
  Bytes cutInMap = InfoUpToAppId();
  cutInMap.resize(5 + 1 + 10 + 3);  // inside "de_dust2"
  EXPECT_EQ(Parse(cutInMap).kind, Kind::Ignored);
  EXPECT_EQ(Parse(InfoUpToAppId()).kind, Kind::Ignored) << "ends right after the application id";
  Bytes players = InfoUpToAppId();
  players.push_back(32);
  const auto r = Parse(players);
  ASSERT_EQ(r.kind, Kind::Reply) << "ends right after the number of players";
  EXPECT_EQ(r.players, 32);
  EXPECT_EQ(r.maxPlayers, 0);
  Bytes appIdCut = InfoUpToAppId();
  appIdCut.pop_back();
  EXPECT_EQ(Parse(appIdCut).kind, Kind::Ignored);
}

// An info reply's tail after the maximum: bots, type, environment, visibility, VAC, version,
// then the extra data (flag byte and its fields), built field by field so a test can cut it at
// any field's end.
struct Tail {
  std::vector<Bytes> fields;
  Bytes Join(std::size_t count) const {
    Bytes out = InfoUpToAppId();
    out.push_back(32);  // players
    out.push_back(32);  // maximum
    for (std::size_t i = 0; i < count && i < fields.size(); ++i)
      out.insert(out.end(), fields[i].begin(), fields[i].end());
    return out;
  }
};

Bytes Text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

Bytes Le(std::uint64_t v, int bytes) {
  Bytes b;
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return b;
}

TEST(InfoReply, VersionAndAppIdAtEachCut) {
  // The short app id of InfoUpToAppId is 10; the game id says 730 (with high bits set that are
  // not the app id's).
  const Tail every{{{0}, {'d', 'l', 0, 1}, Text("1.38.7.9"), {0x80 | 0x10 | 0x40 | 0x20 | 0x01},
                    Le(27015, 2), Le(0x0123456789ABCDEFull, 8), Le(27020, 2), Text("SourceTV"),
                    Text("secure,empty"), Le(0xAB00000001000000ull | 730, 8)}};
  struct Case {
    std::size_t fields;  // how many of the tail's fields the reply keeps
    int cutInLast;       // bytes taken off the last field kept
    std::string version;
    std::uint32_t appId;
  };
  const Case cases[] = {
      {0, 0, "", 10},          {1, 0, "", 10},           {2, 0, "", 10},
      {3, 1, "", 10},          {3, 0, "1.38.7.9", 10},   {4, 0, "1.38.7.9", 10},
      {5, 1, "1.38.7.9", 10},  {8, 1, "1.38.7.9", 10},   {9, 1, "1.38.7.9", 10},
      {10, 1, "1.38.7.9", 10}, {10, 0, "1.38.7.9", 730},
  };
  for (const Case& c : cases) {
    Bytes b = every.Join(c.fields);
    b.resize(b.size() - c.cutInLast);
    const auto r = Parse(b);
    ASSERT_EQ(r.kind, Kind::Reply) << c.fields;
    EXPECT_EQ(r.version, c.version) << c.fields << "/" << c.cutInLast;
    EXPECT_EQ(r.appId, c.appId) << c.fields << "/" << c.cutInLast;
  }

  // Only the game id among the extra data; an app id past 16 bits; none: the short one stays.
  const Tail gameIdOnly{{{0}, {'d', 'l', 0, 0}, Text("1.1.2.7/Stdio"), {0x01}, Le(4000000, 8)}};
  EXPECT_EQ(Parse(gameIdOnly.Join(5)).appId, 4000000u);
  const Tail noExtra{{{0}, {'d', 'w', 0, 0}, Text("2.0"), {0x00}, Le(730, 8)}};
  EXPECT_EQ(Parse(noExtra.Join(5)).appId, 10u) << "bytes after an empty flag are not a game id";
  EXPECT_EQ(Parse(noExtra.Join(5)).version, "2.0");
}

TEST(DetailsReply, ProtocolChoosesTheKind) {
  Bytes b = DetailsUpToMaxPlayers();
  EXPECT_EQ(Parse(b).replyKind, kReplyDetailsOld) << "protocol read as 0 at the end";
  b.push_back(46);
  EXPECT_EQ(Parse(b).replyKind, kReplyDetailsOld);
  b.back() = 47;
  const auto r = Parse(b);
  EXPECT_EQ(r.replyKind, kReplyDetailsNew);
  EXPECT_EQ(r.map, "cs_office");
  EXPECT_EQ(r.players, 12);
  EXPECT_EQ(r.maxPlayers, 32);
  Bytes noMax = DetailsUpToMaxPlayers();
  noMax.pop_back();
  EXPECT_EQ(Parse(noMax).kind, Kind::Ignored) << "maximum players is not the last field";
}

TEST(Replies, WrongHeaderTypeOrLengthIsIgnored) {
  Bytes split = InfoUpToAppId();
  split.push_back(1);
  split.push_back(2);
  split[0] = 0xFE;
  EXPECT_EQ(Parse(split).kind, Kind::Ignored);
  Bytes other = InfoUpToAppId();
  other[4] = 'D';
  EXPECT_EQ(Parse(other).kind, Kind::Ignored);
  EXPECT_EQ(Parse(Bytes{0xFF, 0xFF, 0xFF, 0xFF}).kind, Kind::Ignored);
  EXPECT_EQ(Parse(Bytes{}).kind, Kind::Ignored);
  EXPECT_EQ(Parse(Header('I')).kind, Kind::Ignored);
}

TEST(Challenge, NineBytesOrMore) {
  Bytes a = Header('A');
  EXPECT_EQ(Parse(a).kind, Kind::Ignored);
  for (std::uint8_t x : {0x11, 0x22, 0x33}) a.push_back(x);
  EXPECT_EQ(Parse(a).kind, Kind::Ignored) << "8 bytes: no whole challenge";
  a.push_back(0x44);
  const auto r = Parse(a);
  ASSERT_EQ(r.kind, Kind::Challenge);
  EXPECT_EQ(r.challenge, (std::array<std::uint8_t, 4>{0x11, 0x22, 0x33, 0x44}));
}

}  // namespace
}  // namespace tervane
