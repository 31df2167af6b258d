// The list file as the monitor loads it: read once, its servers and rows given to the live-state
// model, and never lost: what in a record the program never writes is named, and a damaged
// list is reported and copied aside (as it was read) before the first save over it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <tuple>

#include "app/observing.h"
#include "fake_process_control.h"
#include "test_support.h"
#include "testbed.h"

namespace tervane {
namespace {

using testing::ReadBytes;
using testing::WriteBytes;

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
  std::unique_ptr<testbed::MonitorRig> Open(const Path& list) {
    MonitorOptions o;
    o.savePath = list;
    o.localAddress = [] { return std::string("192.0.2.7"); };
    return std::make_unique<testbed::MonitorRig>(loop, process, dir.Dir(), o);
  }
  std::vector<std::u16string> Said(const MemoryListView& view, std::size_t from = 0) const {
    std::vector<std::u16string> out;
    for (std::size_t i = from; i < view.LogLines().size(); ++i) out.push_back(view.LogLines()[i].substr(22));
    return out;
  }

  testing::TempDir dir;
  EventLoop loop;
  testing::FakeProcessControl process;
};

// A good record of that name (its executable /srv/<name>) and parameters, of priority High.
ServerEntry Entry(std::u16string_view name, std::u16string_view params) {
  ServerEntry e = GoodRecord();
  e.Name.assign(name);
  e.FileName.assign(u"/srv/" + std::u16string(name));
  e.Params.assign(params);
  e.Priority = 1;
  return e;
}

// The rows the live-state model adds for the loaded servers: identity, and "-" or paused.
TEST_F(MonitorList, LoadedServersShowTheirIdentityAndDashes) {
  const Path list = dir.File(u"serverlist.dat");
  ServerEntry paused = Entry(u"P", u"+ip 127.0.0.1 -port 27020");
  paused.Paused = 1;
  paused.Priority = 7;
  WriteBytes(list, FileOf({Entry(u"1# Server", u"+ip 127.0.0.1"), paused}));
  auto rig = Open(list);
  ASSERT_TRUE(rig->monitor.Load());
  const MemoryListView& view = rig->view;
  ASSERT_EQ(view.RowCount(), 2);
  EXPECT_EQ(view.Row(0), (RowTexts{u"1# Server", u"127.0.0.1", u"27015", u"/srv/1# Server", u"High", u"-",
                                   u"-", u"-", u"-", u"-"}));
  EXPECT_EQ(view.Row(1), (RowTexts{u"P", u"127.0.0.1", u"27020", u"/srv/P", u"Real Time", u"Paused Monitor",
                                   u"Paused Monitor", u"-", u"-", u"-"}));
  EXPECT_TRUE(view.IsSelected(0)) << "the first row selected";
}

TEST_F(MonitorList, ALoadReplacesListAndRowsButAMissingFileChangesNothing) {
  const Path list = dir.File(u"serverlist.dat");
  WriteBytes(list, FileOf({Entry(u"old1", u""), Entry(u"old2", u"")}));
  auto rig = Open(list);
  Monitor& monitor = rig->monitor;
  ASSERT_TRUE(monitor.Load());
  std::filesystem::remove(testing::Fs(list));
  EXPECT_TRUE(monitor.Load());
  EXPECT_EQ(rig->List().size(), 2u);
  EXPECT_EQ(rig->view.RowCount(), 2);

  WriteBytes(list, FileOf({Entry(u"new", u"")}));
  ASSERT_TRUE(monitor.Load());
  ASSERT_EQ(rig->List().size(), 1u);
  EXPECT_EQ(rig->List()[0]->Name.str(), u"new");
  ASSERT_EQ(rig->view.RowCount(), 1);
  EXPECT_EQ(rig->view.Cell(0, ColServerName), u"new");
}

// A damaged record is reported at load and the file copied whole before the first save over it.
TEST_F(MonitorList, ADamagedRecordIsReportedAndTheFileKept) {
  const Path list = dir.File(u"serverlist.dat");
  ServerEntry bad = GoodRecord();
  bad.Paused = 2;
  const auto original = FileOf({GoodRecord(), bad});
  WriteBytes(list, original);
  auto rig = Open(list);
  Monitor& monitor = rig->monitor;
  ASSERT_TRUE(monitor.Load());
  EXPECT_EQ(rig->List().size(), 2u) << "loaded all the same";
  ASSERT_EQ(monitor.LoadResult().damagedRecords.size(), 1u);
  EXPECT_EQ(monitor.LoadResult().damagedRecords[0].number, 2u);
  EXPECT_NE(Said(rig->view).at(0).find(u"record 2: the pause flag is 2"), std::u16string::npos)
      << Utf16ToUtf8(Said(rig->view)[0]);
  EXPECT_EQ(ReadBytes(list), original) << "nothing written at load";

  // The copy is what was read at load, whatever the file became since.
  WriteBytes(list, {1, 2, 3});
  ASSERT_TRUE(monitor.Run(Command::Pause, monitor.Targets({0})).Saved());
  EXPECT_EQ(monitor.DamagedListCopy(), list + u".bad-20261207-080000");
  EXPECT_EQ(ReadBytes(monitor.DamagedListCopy()), original);
  EXPECT_NE(ReadBytes(list), original);
}

// Damaged lists kept within one second (the rig's clock stands still): each copy has a name of
// its own, the newest five stay, and the messages name the copies.
TEST_F(MonitorList, DamagedCopiesHaveNamesOfTheirOwnAndTheNewestFiveStay) {
  const Path list = dir.File(u"serverlist.dat");
  const Path base = list + u".bad-20261207-080000";
  auto rig = Open(list);
  std::vector<std::vector<std::uint8_t>> written;
  for (int round = 1; round <= 7; ++round) {
    ServerEntry bad = GoodRecord();
    bad.Paused = static_cast<std::uint8_t>(round + 1);
    written.push_back(FileOf({bad}));
    WriteBytes(list, written.back());
    ASSERT_TRUE(rig->monitor.Load());
    ASSERT_TRUE(rig->monitor.Run(Command::Pause, rig->monitor.Targets({0})).Saved()) << round;
  }
  EXPECT_EQ(rig->monitor.DamagedListCopy(), base + u"-7");
  std::vector<Path> kept = ListFilesWithSuffix(dir.Dir(), u"");
  std::sort(kept.begin(), kept.end());
  const std::u16string stamp = u"serverlist.dat.bad-20261207-080000";
  EXPECT_EQ(kept, (std::vector<Path>{u"serverlist.dat", stamp + u"-3", stamp + u"-4", stamp + u"-5", stamp + u"-6",
                                     stamp + u"-7"}));
  for (int n = 3; n <= 7; ++n) EXPECT_EQ(ReadBytes(base + u"-" + ToU16(n)), written[static_cast<std::size_t>(n - 1)]);
  std::u16string said;
  for (const std::u16string& line : Said(rig->view)) said += line + u"\n";
  EXPECT_NE(said.find(u"the damaged list is kept as " + base + u"-7\n"), said.npos);
  EXPECT_NE(said.find(u"removed the older copy " + base + u" of a damaged list"), said.npos);
}

// What a command answers: the servers named by number are refused once they moved or went,
// those named without one are left out; the save's error, or none for a command that saves
// nothing (a restart after a failed save is not a failed save).
TEST_F(MonitorList, ACommandAnswersWhatItDid) {
  const Path list = dir.File(u"serverlist.dat");
  WriteBytes(list, FileOf({Entry(u"a", u"-port 27015"), Entry(u"b", u"-port 27016"), Entry(u"c", u"-port 27017")}));
  auto rig = Open(list);
  Monitor& m = rig->monitor;
  ASSERT_TRUE(m.Load());
  const ServerId a = m.IdOf(0), b = m.IdOf(1);
  ASSERT_EQ(m.Run(Command::Move, m.Targets({0}), CommandArgs::MoveTo(2)).saveError, 0u);  // b c a
  ASSERT_TRUE(m.Run(Command::Remove, {{b, 1}}).Done());                                    // c a
  struct Case {
    Command command;
    std::vector<CommandTarget> servers;
    std::string refused;
    std::vector<std::size_t> rows;
    bool saves;
  };
  const Case cases[] = {
      {Command::Pause, {{a, 1}}, "server 1 is now number 2; nothing done", {}, false},
      {Command::Pause, {{b, 2}}, "server 2 was deleted; nothing done", {}, false},
      {Command::Pause, {{b, 0}, {a, 0}}, "", {1}, true},  // b left out, a where it is now
      {Command::Unpause, {{b, 0}}, "", {}, false},        // nobody left: nothing done, nothing saved
      {Command::Show, {{a, 2}}, "", {1}, true},
  };
  for (const Case& c : cases) {
    const CommandResult r = m.Run(c.command, c.servers);
    EXPECT_EQ(r.refused, c.refused) << r.refused;
    EXPECT_EQ(r.rows, c.rows) << c.refused;
    EXPECT_EQ(r.saveError.has_value(), c.saves) << c.refused;
  }
  EXPECT_EQ(m.At(1).Paused, 1);
  // Paused already: left as it was, and the result says so.
  EXPECT_EQ(m.Run(Command::Pause, m.Targets({0, 1})).unchanged, (std::vector<std::size_t>{1}));
  EXPECT_EQ(m.Run(Command::Cancel, m.Targets({0, 1})).nothingPlanned, (std::vector<std::size_t>{0, 1}));

  std::filesystem::remove(testing::Fs(list));
  std::filesystem::create_directories(testing::Fs(list + u"/in-the-way"));
  const CommandResult unsaved = m.Run(Command::Unpause, m.Targets({1}));
  EXPECT_TRUE(unsaved.Done());
  EXPECT_FALSE(unsaved.Saved());
  EXPECT_NE(unsaved.saveError.value_or(0), 0u);
  const CommandResult restarted = m.Run(Command::Restart, m.Targets({0}));
  EXPECT_FALSE(restarted.saveError.has_value());
  EXPECT_TRUE(restarted.Saved());
}

// Game updates come only with kesp.ini, and their commands' runner only with an UpdateCommand.
TEST_F(MonitorList, KespIniGivesTheUpdatesAndARunnerOnlyForAnUpdateCommand) {
  const Path list = dir.File(u"serverlist.dat"), ini = dir.File(u"kesp.ini");
  WriteBytes(list, FileOf({Entry(u"a", u"-port 27015")}));
  auto rig = Open(list);
  Monitor& m = rig->monitor;
  ASSERT_TRUE(m.Load());
  for (const auto& [text, on] : {std::pair<std::string, bool>{"", false}, {"[Updates]\nUpdateSeconds=60\n", false},
                                 {"[Server a]\nUpdateCommand=update {appid}\n", true}}) {
    if (!text.empty()) WriteBytes(ini, std::vector<std::uint8_t>(text.begin(), text.end()));
    std::unique_ptr<ICommandRunner> runner;
    EXPECT_EQ(StartObserving(loop, m, ini, &runner), nullptr);
    EXPECT_EQ(runner != nullptr, on) << text;
    EXPECT_EQ(m.UpdateSettingsOf(0).On(), on) << text;
    m.SetCommandRunner(nullptr);
  }
}

// The operator's line, only with kesp.ini's LogCommands=1: one per server named, after what the
// command logged, with door, who and result; an RCON command's with its answer, password masked.
TEST_F(MonitorList, EachCommandIsTheOperatorsLineAfterWhatItLogged) {
  const Path list = dir.File(u"serverlist.dat"), ini = dir.File(u"kesp.ini");
  WriteBytes(list, FileOf({Entry(u"a", u"-port 27015"), Entry(u"b", u"+ip 127.0.0.1 -port 9"), Entry(u"c", u"")}));
  auto rig = Open(list);
  Monitor& m = rig->monitor;
  ASSERT_TRUE(m.Load());
  for (const std::string text : {"", "[Options]\nLogCommands=0\n", "[Options]\nLogCommands=1\n"}) {
    if (!text.empty()) WriteBytes(ini, std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_TRUE(StartObserving(loop, m, ini) == nullptr && Said(rig->view).empty()) << text;
    m.Run(Command::Unpause, m.Targets({0}));
  }
  process.startErrors[u"/SRV/B"] = 2;
  process.lookErrors[u"/SRV/C"] = 5;
  const ServerId a = m.IdOf(0), b = m.IdOf(1), c = m.IdOf(2);
  auto from = [](std::string door, std::string who, std::optional<int> in = {}, std::u16string name = {}) {
    CommandArgs args;
    args.origin = {door, who};
    args.inMinutes = in;
    if (!name.empty()) args.edit = ServerEdit{name, {u"/srv/n", "127.0.0.1", 27018, u"", 1}, 1, false, false};
    return args;
  };
  const CommandArgs socket = from("control socket", "uid 1000"), http = from("HTTP", "127.0.0.1:50312");
  // The command on the servers with its args, and how each line said after it begins.
  const std::tuple<Command, std::vector<CommandTarget>, CommandArgs, std::vector<std::u16string>> cases[] = {
      {Command::Pause, {{a, 1}}, socket, {u"a: Pause by the operator (control socket, uid 1000): done."}},
      {Command::Pause, {{a, 1}}, socket,
       {u"a: Pause by the operator (control socket, uid 1000): already paused, nothing changed."}},
      {Command::Restart, {{c, 0}, {b, 0}}, {},  // after the start's failure, and the look's notice
       {u"b: Start failed", u"c: cannot look", u"b: Restart by the operator (window): done.",
        u"c: Restart by the operator (window): could not end the process: "}},
      {Command::Restart, {{a, 1}}, from("HTTP", "127.0.0.1:50312", 10),
       {u"a: Restart in 10 minute(s) by the operator (HTTP, 127.0.0.1:50312): planned for 20"}},
      {Command::Add, {}, from("command line", "", {}, u"n"), {u"n: Add by the operator (command line): done."}},
      {Command::Edit, {{c, 3}}, from("window", "", {}, u"c2"),
       {u"c: Edit by the operator (window): done; now named c2."}},
      {Command::Remove, {{a, 1}}, socket, {u"a: Delete by the operator (control socket, uid 1000): done."}},
      {Command::Pause, {{b, 2}}, http,
       {u"b: Pause by the operator (HTTP, 127.0.0.1:50312): refused: server 2 is now number 1; nothing done."}},
  };
  for (const auto& [command, servers, args, starts] : cases) {
    const std::size_t before = rig->view.LogLines().size();
    m.Run(command, servers, args);
    const std::vector<std::u16string> said = Said(rig->view, before);
    ASSERT_EQ(said.size(), starts.size()) << CommandWord(command);
    for (std::size_t i = 0; i < said.size(); ++i) EXPECT_EQ(said[i].rfind(starts[i], 0), 0u) << Utf16ToUtf8(said[i]);
  }
  CommandArgs rcon = socket;
  rcon.rconText = "say \"x\ny\"; rcon_password hunter2";
  std::u16string atAnswer;
  rcon.rconDone = [&](const RconResult&) { atAnswer = rig->view.LogLines().back(); };
  m.Run(Command::Rcon, {{b, 1}}, std::move(rcon));
  ASSERT_TRUE(loop.RunUntil([&] { return !atAnswer.empty(); }, std::chrono::seconds(20)));
  EXPECT_NE(atAnswer.find(u"] b: RCON by the operator (control socket, uid 1000): "), std::u16string::npos);
  EXPECT_TRUE(atAnswer.ends_with(u"; command: say \"x?y\"; rcon_password ***")) << Utf16ToUtf8(atAnswer);
}

}  // namespace
}  // namespace tervane
