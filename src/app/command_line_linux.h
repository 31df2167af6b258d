// kesp's command line on Linux, described once: its commands, their options and their help,
// read by one parser (CLI11) for the program itself, for the words the running kesp takes at its
// control socket, and for the bash completion made from it. A line it cannot read ends with exit
// code 2 and one line on err naming the word and, when one is close, the word meant.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/server_cli.h"

namespace tervane {

// ParseCommandLine's answer when the command is to be run.
inline constexpr int kRunCommand = -1;

// Reads kesp's arguments (without the program's name) into parsed. Answers kRunCommand, or the
// exit code once everything is said: 0 after the help, the version or the completion script on
// out; kExitUsage after one line on err.
int ParseCommandLine(const std::vector<std::string>& args, ParsedCommand& parsed, std::ostream& out, std::ostream& err);

// The words from the command on (the options before it, --dir, taken off): what the client sends
// to the running kesp.
std::vector<std::string> CommandWords(const std::vector<std::string>& args);

// A command given by its words (as the control socket carries them): read, then run.
void StartServerCommand(Monitor& monitor, const std::vector<std::string>& args, int processorCount, CommandIo& io,
                        std::function<void(int code)> done);
int RunServerCommand(Monitor& monitor, const std::vector<std::string>& args, int processorCount, CommandIo& io);

// kesp --help, and kesp help.
std::string ServerCommandUsage();

// The bash completion of kesp: the commands, each option once, the values of those that have
// them (folders, files, user names, priorities).
std::string BashCompletionScript();

// What the parser takes, for the checks of the manual page: each visible command (with its
// aliases), and each visible option of the program and of every command by its names ("--json",
// "-y").
struct CommandLineWords {
  std::vector<std::string> commands;
  std::vector<std::string> options;
};
CommandLineWords VisibleWords();

}  // namespace tervane
