#include <gtest/gtest.h>

#include <cstring>

#include "core/server_list.h"
#include "test_support.h"

namespace tervane {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

ServerEntry MakeEntry(std::u16string_view name, std::u16string_view params) {
  ServerEntry e = NewServerEntry();
  e.Name.assign(name);
  e.FileName.assign(u"C:\\srv\\" + std::u16string(name) + u".exe");
  e.Params.assign(params);
  e.Priority = 1;
  e.Affinity = 0x0F;
  return e;
}

ServerList ListOf(std::initializer_list<ServerEntry> entries) {
  ServerList list;
  for (const auto& e : entries) list.push_back(std::make_unique<Server>(e));
  return list;
}

// The records as read, with the host's own address 192.0.2.7; the options keep the bytes the
// file lacks.
struct Loader {
  ServerList list;
  BossKeyOptions options;
  ListLoadResult result;
  void Take(LoadedList loaded) {
    list = std::move(loaded.servers);
    options = loaded.options;
    result = std::move(loaded.result);
  }
  static std::string Host() { return "192.0.2.7"; }
  void Load(const Path& path) { Take(LoadServerList(path, Host, options)); }
  void LoadBytes(const std::vector<std::uint8_t>& bytes) { Take(LoadServerListBytes(bytes, Host, options)); }
};

TEST(ServerEntryLayout, FieldsLandAtTheirOffsetsLittleEndian) {
  ServerEntry e = ZeroEntry();
  e.Name.assign(u"AB");
  e.IPAddress.assign("1.2.3.4");
  e.Port = 0x6987;
  e.ReplyKind = -2;
  e.FileName.assign(u"Z");
  e.Params.assign(u"Q");
  e.Priority = 2;
  e.Affinity = 0x11223344;
  e.Restarts = -1;
  e.TimeoutCount = 0x0102;
  e.LostCount = 3;
  e.HideServer = 1;
  e.WaitReply = 1;
  e.Paused = 1;
  std::uint8_t b[kServerEntrySize];
  std::memcpy(b, &e, sizeof b);
  EXPECT_EQ(b[0], 'A');
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], 'B');
  EXPECT_EQ(b[64], '1');
  EXPECT_EQ(b[80], 0x87);
  EXPECT_EQ(b[81], 0x69);
  EXPECT_EQ(b[82], 0xFE);
  EXPECT_EQ(b[83], 0xFF);
  EXPECT_EQ(b[84], 'Z');
  EXPECT_EQ(b[606], 'Q');
  EXPECT_EQ(b[1630], 2);
  EXPECT_EQ(b[1631], 0x44);
  EXPECT_EQ(b[1634], 0x11);
  EXPECT_EQ(b[1635], 0xFF);
  EXPECT_EQ(b[1638], 0xFF);
  EXPECT_EQ(b[1699], 0x02);
  EXPECT_EQ(b[1700], 0x01);
  EXPECT_EQ(b[1701], 3);
  EXPECT_EQ(b[1703], 1);
  EXPECT_EQ(b[1704], 1);
  EXPECT_EQ(b[1705], 1);
  EXPECT_EQ(static_cast<int>(e.ReplyKind), -2);
  EXPECT_EQ(static_cast<std::uint32_t>(e.Affinity), 0x11223344u);
}

TEST(ServerEntryLayout, TextFieldsStopAtZeroOrWidth) {
  ServerEntry e = ZeroEntry();
  e.Name.assign(u"0123456789012345678901234567890123456789");
  EXPECT_EQ(e.Name.str().size(), 32u) << "a full field has no terminator and reads whole";
  e.Name.assign(u"short");
  EXPECT_EQ(e.Name.str(), u"short");
  e.IPAddress.assign("255.255.255.255.255", 15);
  EXPECT_EQ(e.IPAddress.str(), "255.255.255.255");
  EXPECT_EQ(e.IPAddress.bytes[15], 0);
}

TEST(ServerListFile, EmptyListIsThreeOptionBytes) {
  TempDir dir;
  const Path path = dir.File(u"serverlist.dat");
  SaveServerList({}, BossKeyOptions{2, 0x7A, 1}, path);
  EXPECT_EQ(ReadBytes(path), (std::vector<std::uint8_t>{2, 0x7A, 1}));
  Loader l;
  l.Load(path);
  EXPECT_TRUE(l.list.empty());
  EXPECT_EQ(l.options.BossKeyModifiers, 2);
  EXPECT_EQ(l.options.BossKeyCode, 0x7A);
  EXPECT_EQ(l.options.BossKeyEnabled, 1);
}

TEST(ServerListFile, SavesRecordsByteForByteThenOptions) {
  TempDir dir;
  const Path path = dir.File(u"serverlist.dat");
  ServerList list = ListOf({MakeEntry(u"1# Server", u"-port 27015"), MakeEntry(u"2# Server", u"")});
  list[1]->Restarts = 5;  // live state goes to disk as held
  SaveServerList(list, BossKeyOptions{4, 0x42, 0}, path);
  auto bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 2 * kServerEntrySize + 3);
  EXPECT_EQ(std::memcmp(bytes.data(), list[0].get(), kServerEntrySize), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + kServerEntrySize, list[1].get(), kServerEntrySize), 0);
  EXPECT_EQ(bytes[2 * kServerEntrySize], 4);
  EXPECT_EQ(bytes[2 * kServerEntrySize + 1], 0x42);
  EXPECT_EQ(bytes[2 * kServerEntrySize + 2], 0);
  EXPECT_FALSE(FileExists(path + u".tmp")) << "no temporary file stays behind";
}

TEST(ServerListFile, RecordCountIsSizeOverRecordRoundedDown) {
  ServerList two = ListOf({MakeEntry(u"A", u""), MakeEntry(u"B", u"")});
  const auto base = SerializeServerList(two, BossKeyOptions{1, 2, 1});
  for (std::size_t k : {0u, 1u, 2u, 1000u, 1766u}) {
    auto bytes = base;
    bytes.resize(bytes.size() + k, 0xAB);
    Loader l;
    l.LoadBytes(bytes);
    EXPECT_EQ(l.list.size(), 2u) << "k=" << k;
    EXPECT_EQ(l.options.BossKeyEnabled, 1) << "k=" << k;
  }
  // 1770 x N + 3 + 1767 bytes make a third (zero-named) record.
  auto three = base;
  three.resize(3 * kServerEntrySize, 0);
  Loader l;
  l.LoadBytes(three);
  EXPECT_EQ(l.list.size(), 3u);
}

TEST(ServerListFile, ExactRecordsLeaveOptionsAsTheyWere) {
  auto bytes = SerializeServerList(ListOf({MakeEntry(u"A", u"")}), BossKeyOptions{7, 7, 7});
  bytes.resize(kServerEntrySize);
  Loader l;
  l.LoadBytes(bytes);
  EXPECT_EQ(l.list.size(), 1u);
  EXPECT_EQ(l.options.BossKeyModifiers, 0);
  EXPECT_EQ(l.options.BossKeyCode, 0);
  EXPECT_EQ(l.options.BossKeyEnabled, 0);
}

TEST(ServerListFile, ShortFileGivesOnlyTheOptionBytesItHas) {
  Loader l;
  l.options = BossKeyOptions{9, 9, 9};
  l.LoadBytes({1, 2});
  EXPECT_TRUE(l.list.empty());
  EXPECT_EQ(l.options.BossKeyModifiers, 1);
  EXPECT_EQ(l.options.BossKeyCode, 2);
  EXPECT_EQ(l.options.BossKeyEnabled, 9) << "a byte that is not there leaves its value";
}

TEST(ServerListFile, LoadResetsLiveStateAndRecomputesAddress) {
  ServerEntry stored = MakeEntry(u"1# Server", u"-game cstrike +port 27016");
  stored.IPAddress.assign("10.9.9.9");
  stored.Port = 1234;
  stored.ReplyKind = 3;
  stored.Restarts = 17;
  stored.TimeoutCount = 12;
  stored.LostCount = 2;
  stored.WaitReply = 1;
  stored.HideServer = 1;
  stored.Affinity = 0x5;
  stored.Reserved1[3] = 0x77;
  ServerEntry noPort = MakeEntry(u"2# Server", u"+ip 127.0.0.1 -game x");
  noPort.Port = 1;
  Loader l;
  l.LoadBytes(SerializeServerList(ListOf({stored, noPort}), {}));
  ASSERT_EQ(l.list.size(), 2u);
  const ServerEntry& e = *l.list[0];
  EXPECT_EQ(e.IPAddress.str(), "192.0.2.7") << "no +ip: the host's own address";
  EXPECT_EQ(e.Port, 27016);
  EXPECT_EQ(e.ReplyKind, 0);
  EXPECT_EQ(e.Restarts, -1);
  EXPECT_EQ(e.TimeoutCount, 0);
  EXPECT_EQ(e.LostCount, 0);
  EXPECT_EQ(e.WaitReply, 0);
  EXPECT_EQ(e.HideServer, 1);
  EXPECT_EQ(e.Affinity, 0x5u);
  EXPECT_EQ(e.Reserved1[3], 0x77) << "other fields are taken as stored";
  EXPECT_EQ(l.list[1]->IPAddress.str(), "127.0.0.1");
  EXPECT_EQ(l.list[1]->Port, 27015);
}

TEST(ServerListFile, APriorityAboveTwoIsHeldAsTwo) {
  ServerEntry paused = MakeEntry(u"P", u"+ip 127.0.0.1 -port 27020");
  paused.Paused = 1;
  paused.Priority = 7;
  Loader l;
  l.LoadBytes(SerializeServerList(ListOf({MakeEntry(u"1# Server", u"+ip 127.0.0.1"), paused}), {}));
  ASSERT_EQ(l.list.size(), 2u);
  EXPECT_EQ(l.list[1]->Priority, 2) << "a priority above 2 is held as 2 from the load on";
  EXPECT_EQ(l.list[1]->Paused, 1);
}

TEST(ServerListFile, PriorityClampedOnLoadIsSavedAsTwo) {
  TempDir dir;
  const Path path = dir.File(u"serverlist.dat");
  ServerEntry e = MakeEntry(u"A", u"");
  e.Priority = 7;
  WriteBytes(path, SerializeServerList(ListOf({e}), {}));
  Loader l;
  l.Load(path);
  SaveServerList(l.list, l.options, path);
  EXPECT_EQ(ReadBytes(path)[1630], 2);
}

TEST(ServerListFile, AMissingFileIsSaidAndGivesNoServers) {
  TempDir dir;
  Loader l;
  l.Load(dir.File(u"missing.dat"));
  EXPECT_TRUE(l.result.missing);
  EXPECT_EQ(l.result.error, 0u);
  EXPECT_TRUE(l.list.empty());
}

TEST(ServerListFile, SaveLoadSaveKeepsSettingsAndResetsLiveFields) {
  TempDir dir;
  const Path path = dir.File(u"serverlist.dat");
  ServerEntry e = MakeEntry(u"1# Server", u"+ip 127.0.0.1 -port 27015");
  e.Paused = 1;
  e.Restarts = 3;
  SaveServerList(ListOf({e}), BossKeyOptions{2, 0x51, 1}, path);
  Loader l;
  l.Load(path);
  SaveServerList(l.list, l.options, path);
  auto bytes = ReadBytes(path);
  ServerEntry reloaded;
  std::memcpy(&reloaded, bytes.data(), kServerEntrySize);
  EXPECT_EQ(reloaded.Name.str(), u"1# Server");
  EXPECT_EQ(reloaded.Paused, 1);
  EXPECT_EQ(reloaded.Restarts, -1);
  EXPECT_EQ(bytes.back(), 1);
}

TEST(ServerListFile, InterruptedSaveLeavesThePreviousListWhole) {
  TempDir dir;
  const Path path = dir.File(u"serverlist.dat");
  const ServerList before = ListOf({MakeEntry(u"keep", u"")});
  SaveServerList(before, {}, path);
  const auto old = ReadBytes(path);

  ServerList after = ListOf({MakeEntry(u"new1", u""), MakeEntry(u"new2", u"")});
  SaveServerList(after, {}, path, [] { return false; });  // stops as a crash would
  EXPECT_EQ(ReadBytes(path), old);

  // The next save goes through although the interrupted one left its temporary file.
  SaveServerList(after, {}, path);
  EXPECT_EQ(ReadBytes(path).size(), 2 * kServerEntrySize + 3);
}

TEST(ServerListFile, SaveIntoAMissingFolderFailsSilently) {
  TempDir dir;
  const Path path = dir.File(u"no-such-folder") + PathSeparator() + u"serverlist.dat";
  SaveServerList(ListOf({MakeEntry(u"x", u"")}), {}, path);
  EXPECT_FALSE(FileExists(path));
}

TEST(ServerListPath, ProgramFilesAreReachedWithTheLongPathPrefix) {
  // serverlist.dat, logs and Languages all go through this folder.
  const Path& dir = ProgramFilesDir();
  EXPECT_EQ(dir, PathSeparator() == u'\\' ? WithLongPathPrefix(ProgramDir()) : ProgramDir());
  EXPECT_EQ(ServerListPath(), dir + u"serverlist.dat");
}

// The language files beside the program come first; the installed package's are the fallback.
TEST(ServerListPath, LanguagesBesideTheProgramComeBeforeTheInstalledOnes) {
  TempDir program, installed;
  const Path sep(1, PathSeparator());
  const Path beside = program.Dir() + u"Languages" + sep;
  const Path shared = installed.Dir() + u"Languages" + sep;
  EXPECT_EQ(LanguagesDir(program.Dir(), installed.Dir()), beside) << "neither: the program's own";
  ASSERT_TRUE(CreateDirectories(shared));
  EXPECT_EQ(LanguagesDir(program.Dir(), installed.Dir()), shared);
  EXPECT_EQ(LanguagesDir(program.Dir(), u""), beside) << "no installed folder (Windows)";
  ASSERT_TRUE(CreateDirectories(beside));
  EXPECT_EQ(LanguagesDir(program.Dir(), installed.Dir()), beside);
}

TEST(ServerListPath, LongPathPrefixes) {
  EXPECT_EQ(WithLongPathPrefix(u"C:\\Games\\Tervane\\serverlist.dat"),
            u"\\\\?\\C:\\Games\\Tervane\\serverlist.dat");
  EXPECT_EQ(WithLongPathPrefix(u"\\\\host\\share\\kesp\\serverlist.dat"),
            u"\\\\?\\UNC\\host\\share\\kesp\\serverlist.dat");
  EXPECT_EQ(WithLongPathPrefix(u"\\\\?\\C:\\Games\\"), u"\\\\?\\C:\\Games\\") << "prefixed once";
  const Path& path = ServerListPath();
  EXPECT_NE(path.find(u"serverlist.dat"), Path::npos);
  EXPECT_EQ(&path, &ServerListPath()) << "computed once and kept";
  if (PathSeparator() == u'\\')
    EXPECT_EQ(path.rfind(u"\\\\?\\", 0), 0u);
  else
    EXPECT_EQ(path, ProgramDir() + u"serverlist.dat");
}

}  // namespace
}  // namespace tervane
