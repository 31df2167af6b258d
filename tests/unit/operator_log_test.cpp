// The operator's line in the monthly log: each command on the servers, through each door, adds
// one line per server after whatever the command itself logged, and kesp.ini turns it on.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "app/observing.h"
#include "fake_process_control.h"
#include "test_support.h"
#include "testbed.h"

namespace tervane {
namespace {

class OperatorLog : public ::testing::Test {
 protected:
  OperatorLog() {
    for (const char16_t* name : {u"A", u"B", u"C", u"D"}) {
      auto e = std::make_unique<Server>(NewServerEntry());
      e->Name.assign(name);
      e->FileName.assign(u"/srv/" + std::u16string(name));
      e->Params.assign(u"+ip 127.0.0.1 -port 9 +rcon_password secret");
      e->IPAddress.assign("127.0.0.1");
      e->Port = 9;  // nothing listens: an RCON command fails at once
      e->Affinity = 1;
      process.running[process.Key(e->FileName.str())] = true;
      rig.States().Add(std::move(e));
    }
  }
  // The lines of the month's log file, without their time.
  std::vector<std::u16string> FileLines() const {
    const std::vector<std::uint8_t> bytes = testing::ReadBytes(dir.File(u"logs/2026-12.log"));
    std::u16string text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    std::vector<std::u16string> lines;
    for (std::size_t at = 0; !text.empty() && at != std::u16string::npos;) {
      const std::size_t end = text.find(u"\r\n", at);
      lines.push_back(text.substr(at + 22, end == std::u16string::npos ? end : end - at - 22));
      at = end == std::u16string::npos ? end : end + 2;
    }
    return lines;
  }
  ServerId Id(std::u16string_view name) const {
    for (std::size_t i = 0; i < monitor.Count(); ++i)
      if (monitor.At(i).Name.str() == name) return monitor.IdOf(i);
    return 0;
  }

  testing::TempDir dir;
  EventLoop loop;
  testing::FakeProcessControl process;
  testbed::MonitorRig rig{loop, process, dir.Dir()};
  Monitor& monitor = rig.monitor;
};

CommandArgs From(std::string door, std::string who = {}) {
  CommandArgs args;
  args.origin = {std::move(door), std::move(who)};
  return args;
}

TEST_F(OperatorLog, EachCommandAddsOneLinePerServerAfterWhatItLogged) {
  monitor.SetLogCommands(true);
  process.startErrors[u"/SRV/C"] = 2;
  process.lookErrors[u"/SRV/D"] = 5;
  process.applyErrors[u"/SRV/A"].priority = 5;
  const CommandArgs socket = From("control socket", "uid 1000"), http = From("HTTP", "127.0.0.1:50312"),
                    window = CommandArgs{}, cli = From("command line", "uid 1000");
  auto in = [](CommandArgs args, int minutes) {
    args.inMinutes = minutes;
    return args;
  };
  auto to = [](CommandArgs args, std::size_t row) {
    args.to = row;
    return args;
  };
  auto edit = [](CommandArgs args, std::u16string name, std::u16string exe) {
    EditorResult result{std::move(exe), "127.0.0.1", 9, u"+ip 127.0.0.1 -port 9", 1};
    args.edit = ServerEdit{std::move(name), std::move(result), 1, false, false};
    return args;
  };
  const std::u16string startFailed =
      u"C: " + FormatText(monitor.Texts().Get(ExtraMsg::StartFailed), {SystemErrorText(2)});
  const std::u16string notApplied =
      u"A2: " + FormatText(monitor.Texts().Get(ExtraMsg::PriorityNotApplied), {SystemErrorText(5)});
  struct Step {
    Command command;
    std::vector<std::pair<std::u16string, std::size_t>> servers;  // by name, with the number named (0: none)
    CommandArgs args;
    std::vector<std::u16string> lines;  // what the file has after it, in order
  };
  const Step steps[] = {
      {Command::Pause, {{u"A", 1}}, socket, {u"A: Pause by the operator (control socket, uid 1000): done."}},
      {Command::Unpause, {{u"A", 1}}, http, {u"A: Unpause by the operator (HTTP, 127.0.0.1:50312): done."}},
      {Command::Restart, {{u"C", 0}, {u"A", 0}}, window,
       {startFailed, u"A: Restart by the operator (window): done.", u"C: Restart by the operator (window): done."}},
      {Command::Restart, {{u"D", 4}}, cli,
       {u"D: Restart by the operator (command line, uid 1000): could not end the process: " + SystemErrorText(5) +
        u"."}},
      {Command::Restart, {{u"A", 1}}, in(http, 5000),
       {u"A: Restart in 5000 minute(s) by the operator (HTTP, 127.0.0.1:50312): nothing planned: minutes out of "
        u"range."}},
      {Command::Cancel, {{u"A", 1}}, http, {u"A: Cancel by the operator (HTTP, 127.0.0.1:50312): nothing planned."}},
      {Command::Close, {{u"B", 2}}, socket, {u"B: Close by the operator (control socket, uid 1000): done."}},
      {Command::Hide, {{u"B", 0}}, window, {u"B: Hide console by the operator (window): done."}},
      {Command::Move, {{u"A", 1}}, to(window, 2), {u"A: Move to place 3 by the operator (window): done."}},
      {Command::Move, {{u"A", 3}}, to(window, 8), {u"A: Move to place 9 by the operator (window): refused: no place number 9."}},
      {Command::Edit, {{u"A", 0}}, edit(cli, u"A2", u"/srv/A"),
       {notApplied, u"A: Edit by the operator (command line, uid 1000): done; now named A2."}},
      {Command::Add, {}, edit(socket, u"N", u"/srv/N"), {u"N: Add by the operator (control socket, uid 1000): done."}},
      {Command::Remove, {{u"B", 0}, {u"N", 0}}, socket,
       {u"B: Delete by the operator (control socket, uid 1000): done.",
        u"N: Delete by the operator (control socket, uid 1000): done."}},
      {Command::Pause, {{u"A2", 1}, {u"D", 0}}, http,
       {u"A2: Pause by the operator (HTTP, 127.0.0.1:50312): refused: server 1 is now number 2; nothing done.",
        u"D: Pause by the operator (HTTP, 127.0.0.1:50312): refused: server 1 is now number 2; nothing done."}},
      {Command::List, {}, socket, {}},  // changes nothing: not the operator's act
  };
  std::size_t seen = 0;
  for (const Step& step : steps) {
    std::vector<CommandTarget> targets;
    for (const auto& [name, number] : step.servers) targets.push_back({Id(name), number});
    monitor.Run(step.command, targets, step.args);
    const std::vector<std::u16string> lines = FileLines();
    EXPECT_EQ(std::vector<std::u16string>(lines.begin() + static_cast<std::ptrdiff_t>(std::min(seen, lines.size())), lines.end()),
              step.lines)
        << CommandWord(step.command);
    seen = lines.size();
  }

  // A planned restart names its time; off, the log has no line of the operator's.
  const CommandResult planned = monitor.Run(Command::Restart, monitor.Targets({0}), in(http, 10));
  ASSERT_EQ(planned.due.size(), 1u);
  const std::u16string last = FileLines().back();
  EXPECT_EQ(last.rfind(u"C: Restart in 10 minute(s) by the operator (HTTP, 127.0.0.1:50312): planned for 20", 0), 0u)
      << Utf16ToUtf8(last);
  monitor.SetLogCommands(false);
  monitor.Run(Command::Pause, monitor.Targets({0}), socket);
  EXPECT_EQ(FileLines().size(), seen + 1);
}

// An RCON command's line comes with its answer, before the door's, its password masked.
TEST_F(OperatorLog, AnRconCommandIsLoggedWithItsAnswerAndNoPassword) {
  monitor.SetLogCommands(true);
  CommandArgs args = From("control socket", "uid 1000");
  args.rconText = "say \"a\nb\" " + std::string(300, 'x') + "; rcon_password hunter2";
  std::size_t linesAtAnswer = 0;
  bool answered = false;
  args.rconDone = [&](const RconResult&) {
    linesAtAnswer = FileLines().size();
    answered = true;
  };
  ASSERT_TRUE(monitor.Run(Command::Rcon, monitor.Targets({1}), std::move(args)).Done());
  EXPECT_FALSE(FileExists(dir.File(u"logs/2026-12.log"))) << "nothing before the answer";
  ASSERT_TRUE(loop.RunUntil([&] { return answered; }, std::chrono::seconds(20)));
  const std::vector<std::u16string> lines = FileLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(linesAtAnswer, 1u);
  EXPECT_EQ(lines[0].rfind(u"B: RCON by the operator (control socket, uid 1000): failed: ", 0), 0u) << Utf16ToUtf8(lines[0]);
  EXPECT_TRUE(lines[0].ends_with(u"; command: say \"a?b\" " + std::u16string(190, u'x') + u"..."))
      << "on one line, cut" << Utf16ToUtf8(lines[0]);

  // The password masked, wherever it stands in the command.
  for (const char* text : {"rcon_password hunter2", "sv_cheats 0; +rcon_password hunter2 -x"}) {
    answered = false;
    CommandArgs again = From("HTTP", "127.0.0.1:50312");
    again.rconText = text;
    again.rconDone = [&](const RconResult&) { answered = true; };
    monitor.Run(Command::Rcon, monitor.Targets({1}), std::move(again));
    ASSERT_TRUE(loop.RunUntil([&] { return answered; }, std::chrono::seconds(20)));
    const std::string last = Utf16ToUtf8(FileLines().back());
    EXPECT_EQ(last.find("hunter2"), std::string::npos) << last;
    EXPECT_NE(last.find("rcon_password ***"), std::string::npos) << last;
  }
}

// kesp.ini's LogCommands=1 turns the lines on; without it (or =0) the log stays as it was, and
// the key alone starts no observer.
TEST_F(OperatorLog, OnlyLogCommandsOneInKespIniTurnsThemOn) {
  const Path ini = dir.File(u"kesp.ini");
  EXPECT_EQ(StartObserving(loop, monitor, ini), nullptr);
  EXPECT_FALSE(monitor.LogsCommands()) << "no kesp.ini";
  std::ofstream(testing::Fs(ini)) << "[Options]\nLogCommands=0\n";
  EXPECT_EQ(StartObserving(loop, monitor, ini), nullptr);
  EXPECT_FALSE(monitor.LogsCommands());
  monitor.Run(Command::Pause, monitor.Targets({0}));
  EXPECT_FALSE(FileExists(dir.File(u"logs/2026-12.log")));
  std::ofstream(testing::Fs(ini)) << "[Options]\nLogCommands=1\n";
  EXPECT_EQ(StartObserving(loop, monitor, ini), nullptr);
  EXPECT_TRUE(monitor.LogsCommands());
  monitor.Run(Command::Unpause, monitor.Targets({0}));
  EXPECT_EQ(FileLines(), std::vector<std::u16string>{u"A: Unpause by the operator (window): done."});
}

}  // namespace
}  // namespace tervane
