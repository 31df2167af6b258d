// The list file is never lost: what in a record the program never writes is named, and a
// damaged list is reported and copied aside before the first save over it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "fake_process_control.h"
#include "test_support.h"
#include "ui/monitor.h"

namespace tervane {
namespace {

using testing::ReadBytes;
using testing::WriteBytes;

class PinnedLocalClock : public IClock {
 public:
  LocalTime Now() override { return LocalTime{2026, 12, 7, 8, 0, 0}; }
};

ServerEntry GoodRecord() {
  ServerEntry e = NewServerEntry();
  e.Name.assign(u"A");
  e.FileName.assign(u"/srv/a/hlds");
  e.Params.assign(u"+ip 127.0.0.1 -port 27015");
  e.IPAddress.assign("127.0.0.1");
  e.Affinity = 1;
  return e;
}

std::vector<std::uint8_t> FileOf(const std::vector<ServerEntry>& records) {
  std::vector<std::uint8_t> bytes(records.size() * kServerEntrySize + 3, 0);
  for (std::size_t i = 0; i < records.size(); ++i)
    std::memcpy(bytes.data() + i * kServerEntrySize, &records[i], kServerEntrySize);
  return bytes;
}

TEST(RecordDamage, WhatTheProgramNeverWritesIsNamed) {
  struct Case {
    const char* says;
    std::function<void(ServerEntry&)> damage;
  };
  const Case cases[] = {
      {"name is not ended", [](ServerEntry& e) { e.Name.assign(std::u16string(32, u'n')); }},
      {"name is not ended", [](ServerEntry& e) { e.Name.bytes[40] = 'x'; }},  // something after its end
      {"run parameters are not ended", [](ServerEntry& e) { e.Params.assign(std::u16string(512, u'p')); }},
      {"priority is 7", [](ServerEntry& e) { e.Priority = 7; }},
      {"pause flag is 255", [](ServerEntry& e) { e.Paused = 255; }},
      {"reply kind is 4", [](ServerEntry& e) { e.ReplyKind = 4; }},
      {"timeout count is 99", [](ServerEntry& e) { e.TimeoutCount = 99; }},
      {"reserved bytes", [](ServerEntry& e) { e.Reserved2[63] = 1; }},
  };
  EXPECT_EQ(RecordDamage(GoodRecord()), u"");
  for (const Case& c : cases) {
    ServerEntry e = GoodRecord();
    c.damage(e);
    EXPECT_NE(Utf16ToUtf8(RecordDamage(e)).find(c.says), std::string::npos) << c.says << ": " << Utf16ToUtf8(RecordDamage(e));
  }
}

class MonitorList : public ::testing::Test {
 protected:
  std::unique_ptr<Monitor> Open(const Path& list) {
    MonitorOptions o;
    o.programDir = dir.Dir();
    o.savePath = list;
    o.clock = &clock;
    return std::make_unique<Monitor>(loop, view, process, o);
  }
  std::vector<std::u16string> Said(std::size_t from = 0) const {
    std::vector<std::u16string> out;
    for (std::size_t i = from; i < view.LogLines().size(); ++i) out.push_back(view.LogLines()[i].substr(22));
    return out;
  }

  testing::TempDir dir;
  EventLoop loop;
  MemoryListView view;
  testing::FakeProcessControl process;
  PinnedLocalClock clock;
};

// A damaged record is reported at load and the file copied whole before the first save over it.
TEST_F(MonitorList, ADamagedRecordIsReportedAndTheFileKept) {
  const Path list = dir.File(u"serverlist.dat");
  ServerEntry bad = GoodRecord();
  bad.Paused = 2;
  const auto original = FileOf({GoodRecord(), bad});
  WriteBytes(list, original);
  auto monitor = Open(list);
  ASSERT_TRUE(monitor->Load());
  EXPECT_EQ(monitor->List().size(), 2u) << "loaded all the same";
  ASSERT_EQ(monitor->LoadedList().damagedRecords.size(), 1u);
  EXPECT_EQ(monitor->LoadedList().damagedRecords[0].number, 2u);
  EXPECT_NE(Said().at(0).find(u"record 2: the pause flag is 2"), std::u16string::npos) << Utf16ToUtf8(Said()[0]);
  EXPECT_EQ(ReadBytes(list), original) << "nothing written at load";

  monitor->Pause({0}, true);
  ASSERT_TRUE(monitor->LastSaveSucceeded());
  EXPECT_EQ(monitor->DamagedListCopy(), list + u".bad-20261207-080000");
  EXPECT_EQ(ReadBytes(monitor->DamagedListCopy()), original);
  EXPECT_NE(ReadBytes(list), original);
}

}  // namespace
}  // namespace tervane
