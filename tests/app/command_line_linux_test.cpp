// kesp's command line as its parser reads it: the one line and exit code 2 for what it cannot
// read, the words of rcon, each command's help, and the manual page, the README's examples and
// the bash completion held against the parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "app/command_line_linux.h"
#include "test_support.h"

namespace tervane {
namespace {

struct Read {
  int code;
  std::string out, err;
  ParsedCommand parsed;
};

Read Parse(const std::vector<std::string>& args) {
  Read r;
  std::ostringstream out, err;
  r.code = ParseCommandLine(args, r.parsed, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CommandLineParser, ALineItCannotReadExitsTwoWithOneLineNamingTheWord) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"status", "--jsn"}, "unknown option '--jsn' (did you mean '--json'?); see kesp status --help"},
      {{"list", "extra"}, "unexpected argument 'extra'; see kesp list --help"},
      {{"restart", "1", "--yse"}, "unknown option '--yse' (did you mean '--yes'?); see kesp restart --help"},
      {{"pasue", "1"}, "unknown command 'pasue' (did you mean 'pause'?); see kesp --help"},
      {{"show", "1"}, "unknown command 'show'; see kesp --help"},  // the window's only
      {{"--json"}, "the option '--json' goes after the command it is for; see kesp --help"},
      {{"log", "-x"}, "unknown option '-x'; see kesp log --help"},
      {{"service", "instal"}, "unknown command 'instal' (did you mean 'install'?); see kesp service --help"},
      {{"restart", "1", "--in", "x"}, "--in needs a number of minutes from 0 to 1440, not 'x'; see kesp restart --help"},
      {{"restart", "1", "--in"}, "the option '--in' needs a value; see kesp restart --help"},
      {{"pause", "1x"}, "'1x' is not a server number; see kesp pause --help"},
      {{"add", "--exe", "x", "--priority", "bogus"}, "unknown priority 'bogus' (normal, high or realtime); see kesp add --help"},
      {{"add", "--exe", "x", "--priority", "hihg"}, "unknown priority 'hihg' (did you mean 'high'?); see kesp add --help"},
      {{"edit", "1", "--affinity", "zz"}, "the affinity must be a number, e.g. 0x3, not 'zz'; see kesp edit --help"},
      {{"add", "--name", "a"}, "add needs --exe PATH; see kesp add --help"},
      {{"add", "--exe", "x", "--name", "a", "--name", "b"}, "the option '--name' is given more than once; see kesp add --help"},
      {{"status", "--json=x"}, "the option '--json' takes no value; see kesp status --help"},
      {{"rcon", "--yes", "1", "x"}, "unknown option '--yes'; see kesp rcon --help"},
      {{"rcon", "1"}, "rcon needs the number of a server and a command; see kesp rcon --help"},
      {{"service"}, "service needs install or uninstall; see kesp service --help"},
      {{"service", "install", "--as"}, "the option '--as' needs a value; see kesp service install --help"},
      {{"service", "uninstall", "--as", "x"}, "unknown option '--as'; see kesp service uninstall --help"},
      {{"--dir", ""}, "--dir needs a folder: kesp --dir DIR [command]; see kesp --help"},
      {{"status", "\x1b[31m"}, "unexpected argument '\\x1B[31m'; see kesp status --help"},
      {{"update", "1", "all"}, "update takes the numbers of servers or all, not both; see kesp update --help"},
      {{"update", "al"}, "'al' is not a server number; see kesp update --help"},
      {{"restart", "all"}, "'all' is not a server number; see kesp restart --help"},
      {{"update", "1", "--in", "1441"}, "--in needs a number of minutes from 0 to 1440, not '1441'; see kesp update --help"},
      {{"update", "1", "--yse"}, "unknown option '--yse' (did you mean '--yes'?); see kesp update --help"},
  };
  for (const auto& c : cases) {
    const Read r = Parse(c.args);
    EXPECT_EQ(r.code, kExitUsage) << c.says;
    EXPECT_EQ(r.err, "kesp: " + std::string(c.says) + "\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(CommandLineParser, ReadsWhatEachCommandTakes) {
  const Read restart = Parse({"--dir", "/d", "restart", "2", "1", "-y", "--in", "5", "--ids=7,9"});
  ASSERT_EQ(restart.code, kRunCommand) << restart.err;
  EXPECT_EQ(restart.parsed.numbers, (std::vector<std::string>{"2", "1"}));
  EXPECT_TRUE(restart.parsed.yes && restart.parsed.inMinutes == 5 && restart.parsed.ids == "7,9" && restart.parsed.dir == "/d");
  EXPECT_EQ(Parse({"delete", "3"}).parsed.command, Command::Remove);
  const Read all = Parse({"update", "all", "--in", "15", "--yes"});
  ASSERT_EQ(all.code, kRunCommand) << all.err;
  EXPECT_TRUE(all.parsed.command == Command::Update && all.parsed.all && all.parsed.numbers.empty() &&
              all.parsed.inMinutes == 15 && all.parsed.yes);
  const Read some = Parse({"update", "3", "1", "--ids=7,9"});
  EXPECT_TRUE(some.parsed.numbers == (std::vector<std::string>{"3", "1"}) && !some.parsed.all && !some.parsed.yes &&
              !some.parsed.inMinutes && some.parsed.ids == "7,9");
  const Read edit = Parse({"edit", "1", "--params", "-port 27016", "--affinity", "0x3"});
  EXPECT_EQ(edit.parsed.params, "-port 27016") << "a value that begins with '-' is still the option's";
  EXPECT_TRUE(edit.parsed.affinity == 3u && !edit.parsed.name && !edit.parsed.priority);
  const Read log = Parse({"log", "--follow", "-n", "20"});
  EXPECT_TRUE(log.parsed.follow && log.parsed.lines == 20u);
  EXPECT_FALSE(Parse({}).parsed.command) << "no command: supervise";
}

// The words after rcon's number are the server's, as given, whatever they look like.
TEST(CommandLineParser, RconTakesTheWordsAfterItsNumberAsTheyAre) {
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {{"rcon", "1", "status"}, {"status"}},
      {{"rcon", "1", "sv_gravity", "-100"}, {"sv_gravity", "-100"}},
      {{"rcon", "1", "say", "--help"}, {"say", "--help"}},
      {{"rcon", "2", "list", "pause", "-y"}, {"list", "pause", "-y"}},
  };
  for (const auto& [args, words] : cases) {
    const Read r = Parse(args);
    ASSERT_EQ(r.code, kRunCommand) << r.err;
    EXPECT_EQ(r.parsed.command, Command::Rcon);
    EXPECT_EQ(r.parsed.numbers, (std::vector<std::string>{args[1]}));
    EXPECT_EQ(r.parsed.rconWords, words);
  }
}

TEST(CommandLineParser, EveryCommandHasItsHelpAndTheProgramsHelpDefinesTheRestartKinds) {
  for (int c = 0; c <= static_cast<int>(Command::Service); ++c) {
    const std::string word(CommandWord(static_cast<Command>(c)));
    if (!ServedAt(static_cast<Command>(c), kCommandLine)) continue;
    for (const char* help : {"--help", "-h"}) {
      const Read r = Parse({word, help});
      EXPECT_EQ(r.code, 0) << word;
      EXPECT_NE(r.out.find("Usage: kesp " + word), std::string::npos) << r.out;
    }
    EXPECT_EQ(Parse({"help", word}).out, Parse({word, "--help"}).out);
  }
  EXPECT_NE(Parse({"restart", "--help"}).out.find("--in MINUTES"), std::string::npos);
  EXPECT_NE(Parse({"update", "--help"}).out.find("--in MINUTES"), std::string::npos);
  EXPECT_NE(Parse({"service", "install", "--help"}).out.find("--as USER"), std::string::npos);
  const Read root = Parse({"--help"});
  EXPECT_EQ(root.out, Parse({"help"}).out);
  std::string flowed = root.out;  // the help's lines wrap anywhere
  std::replace(flowed.begin(), flowed.end(), '\n', ' ');
  for (const char* kind : {"supervised (after a fatal error, a lost process or no response",
                           "operator (a restart by command, and the start after close and unpause)", "planned ("})
    EXPECT_NE(flowed.find(kind), std::string::npos) << kind;
  EXPECT_EQ(Parse({"--version"}).out.rfind("kesp (Tervane) ", 0), 0u);
}

// A shell line's words: quotes taken off, a '#' comment and what follows ';', '|', '&' or '>' left out.
std::vector<std::string> ShellWords(const std::string& line) {
  std::vector<std::string> words;
  const std::regex word(R"x('([^']*)'|"([^"]*)"|([^\s'"#;|&>]+)|(\S))x");
  for (auto w = std::sregex_iterator(line.begin(), line.end(), word); w != std::sregex_iterator() && !(*w)[4].matched; ++w)
    words.push_back((*w)[1].matched ? (*w)[1].str() : (*w)[2].matched ? (*w)[2].str() : (*w)[3].str());
  return words;
}

// The kesp command lines among lines of a shell's text (continued lines joined): their words
// after the program's name.
std::vector<std::vector<std::string>> KespLines(const std::vector<std::string>& lines) {
  std::vector<std::vector<std::string>> found;
  std::string joined;
  for (const std::string& line : lines) {
    joined += line;
    if (!joined.empty() && joined.back() == '\\') {
      joined.pop_back();
      continue;
    }
    std::vector<std::string> words = ShellWords(joined);
    joined.clear();
    if (!words.empty() && words[0] == "sudo") words.erase(words.begin());
    if (!words.empty() && (words[0] == "kesp" || words[0] == "./kesp" || words[0] == "/usr/bin/kesp"))
      found.emplace_back(words.begin() + 1, words.end());
  }
  return found;
}

// A line of the page as it reads: a font macro's words joined (alternating fonts without
// spaces), font changes and escapes taken off.
std::string Rendered(const std::string& line) {
  std::smatch m;
  std::string text = line;
  if (std::regex_match(line, m, std::regex(R"(\.([BI]|[BIR][BIR]) (.*))"))) {
    text.clear();
    const std::string args = m[2];
    const std::regex word(R"x("([^"]*)"|(\S+))x");
    for (auto w = std::sregex_iterator(args.begin(), args.end(), word); w != std::sregex_iterator(); ++w)
      text += (m[1].length() == 1 && !text.empty() ? " " : "") + ((*w)[1].matched ? (*w)[1].str() : (*w)[2].str());
  }
  return std::regex_replace(std::regex_replace(text, std::regex(R"(\\f[BIRP])"), ""), std::regex(R"(\\-)"), "-");
}

// A form of the page ("restart N... --in MINUTES", "log [-f|--follow] [-n|--lines N]") as a
// command line: each choice its first (or last), "..." and [options] left out, the placeholders
// given values.
std::vector<std::string> Instance(std::string form, bool last) {
  // "a | b" chooses between groups of words, "a|b" between words.
  const auto pick = [last](const std::string& choices, const std::string& bar) {
    const std::size_t at = last ? choices.rfind(bar) : choices.find(bar);
    return at == std::string::npos ? choices : last ? choices.substr(at + bar.size()) : choices.substr(0, at);
  };
  form = std::regex_replace(form, std::regex(R"(\[options\]|\.\.\.)"), "");
  for (std::smatch m; std::regex_search(form, m, std::regex(R"(\[([^\[\]]*)\])"));)
    form = m.prefix().str() + pick(m[1], " | ") + m.suffix().str();
  const std::map<std::string, std::string> values{{"N", "1"}, {"M", "2"}, {"MINUTES", "5"}, {"PATH", "/bin/sh"}, {"USER", "root"},
                                                  {"DIR", "/tmp"}, {"COMMAND", "status"}};
  std::vector<std::string> words;
  std::istringstream in(form);
  for (std::string w; in >> w;) {
    const std::string one = pick(w, "|");
    words.push_back(values.count(one) ? values.at(one) : one);
  }
  return words;
}

// The manual page and the README are written by hand: what they name must be what the parser
// takes, and what the parser takes must be in the manual page.
TEST(CommandLineDocs, TheManualPageAndTheReadmeAgreeWithTheParser) {
  const std::filesystem::path source(TERVANE_SOURCE_DIR);
  const std::string man = Slurp(source / "docs" / "kesp.1"), readme = Slurp(source / "README.md");
  ASSERT_FALSE(man.empty());
  ASSERT_FALSE(readme.empty());
  const CommandLineWords words = VisibleWords();
  for (const std::string& option : words.options) {
    std::string roff;  // "--json" as the page writes it, \-\-json, as a pattern
    for (char c : option) roff += c == '-' ? std::string(R"(\\-)") : std::string(1, c);
    EXPECT_TRUE(std::regex_search(man, std::regex(roff + "(?![a-z])"))) << option << " is not in kesp.1";
  }
  const std::string commands = man.substr(man.find(".SH COMMANDS"), man.find(".SH OPTIONS") - man.find(".SH COMMANDS"));
  for (const std::string& command : words.commands)
    EXPECT_TRUE(std::regex_search(commands, std::regex("\\b" + command + "\\b"))) << command << " is not in kesp.1";
  // Every long option the page names, but in a line about systemctl, is the parser's. The page's
  // command lines: its examples (between .nf and .fi), its synopsis (lines up to .br), and each
  // form of a command in COMMANDS (the tags, "restart N...,  close N...") for the synopsis's
  // "command [arguments]".
  std::istringstream manLines(man);
  std::vector<std::string> examples, forms, synopsis{""};
  std::string section, previous;
  bool shown = false;
  for (std::string line; std::getline(manLines, line); previous = line) {
    const std::regex option(R"(\\-\\-([a-z][a-z-]*))");
    for (auto m = std::sregex_iterator(line.begin(), line.end(), option);
         line.find("systemctl") == std::string::npos && m != std::sregex_iterator(); ++m)
      EXPECT_TRUE(std::count(words.options.begin(), words.options.end(), "--" + (*m)[1].str()))
          << (*m)[0] << " in kesp.1 is no option of kesp";
    if (line.rfind(".SH ", 0) == 0) section = line.substr(4);
    else if (line == ".nf" || line == ".fi") shown = line == ".nf";
    else if (section == "EXAMPLES" && shown) examples.push_back(std::regex_replace(Rendered(line), std::regex(R"(\\e)"), "\\"));
    else if (section == "SYNOPSIS" && line == ".br") synopsis.emplace_back();
    else if (section == "SYNOPSIS") synopsis.back() += " " + Rendered(line);
    else if (section == "COMMANDS" && previous == ".TP")
      for (std::string tag = Rendered(line);; tag.erase(0, tag.find(",  ") + 3)) {
        forms.push_back(tag.substr(0, tag.find(",  ")));
        if (tag.find(",  ") == std::string::npos) break;
      }
  }
  std::vector<std::string> readmeLines;
  std::istringstream readmeText(readme);
  bool inSh = false;
  for (std::string line; std::getline(readmeText, line);) {
    if (line.rfind("```", 0) == 0) inSh = line == "```sh";
    else if (inSh) readmeLines.push_back(line);
  }
  std::vector<std::vector<std::string>> manCommands = KespLines(examples);
  for (const std::string& line : synopsis)
    for (const std::string& form : line.find("command [arguments]") != std::string::npos ? forms : std::vector<std::string>{""})
      for (bool last : {false, true}) {
        std::vector<std::string> words = Instance(std::regex_replace(line, std::regex("command \\[arguments\\]"), form), last);
        if (!words.empty() && words[0] == "kesp") manCommands.emplace_back(words.begin() + 1, words.end());
      }
  EXPECT_GE(forms.size(), 15u);
  std::vector<std::vector<std::string>> readmeCommands = KespLines(readmeLines);
  EXPECT_GE(manCommands.size(), 3u);
  EXPECT_GE(readmeCommands.size(), 10u);
  for (const auto* commands : {&manCommands, &readmeCommands})
    for (const std::vector<std::string>& args : *commands) {
      const Read r = Parse(args);
      std::string line = "kesp";
      for (const std::string& a : args) line += " " + a;
      EXPECT_NE(r.code, kExitUsage) << line << "\n" << r.err;
    }
}

// The completion comes from the parser: bash runs it as the package installs it.
TEST(Completion, OffersEachOptionOnceAndTheValuesOfThoseThatTakeThem) {
  testing::TempDir dir;
  const std::filesystem::path script = dir.path() / "kesp";
  std::ofstream(script) << BashCompletionScript();
  const auto complete = [&](const std::string& line) {
    // The line's words; a line that ends with a space completes an empty word.
    std::string words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words += " '" + w + "'";
    if (line.back() == ' ') words += " ''";
    const std::string command = "bash -c 'source \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _kesp; echo \"${COMPREPLY[*]}\"' '" +
                                script.string() + "'" + words + " 2>&1";
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
      char buffer[4096];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
      ::pclose(p);
    }
    return " " + out.substr(0, out.find('\n')) + " ";
  };
  const std::pair<const char*, const char*> offered[] = {
      {"kesp pa", " pause "},           {"kesp --dir /tmp res", " restart "}, {"kesp status ", " --json "},
      {"kesp log -f ", " --lines "},    {"kesp add --priority ", " high "},   {"kesp service install --as ro", " root "},
      {"kesp service ", " uninstall "}, {"kesp help c", " cancel "},         {"kesp del", " delete "},
      {"kesp upd", " update "},         {"kesp update 1 ", " --in "},
  };
  for (const auto& [line, word] : offered) EXPECT_NE(complete(line).find(word), std::string::npos) << line << ":" << complete(line);
  const std::pair<const char*, const char*> notOffered[] = {
      {"kesp status --json ", " --json "}, {"kesp log -f ", " -f "},      {"kesp log -f ", " --follow "},
      {"kesp restart 1 -y ", " --yes "},   {"kesp add --name ", " --exe "}, {"kesp service install --user ", " --user "},
  };
  for (const auto& [line, word] : notOffered) EXPECT_EQ(complete(line).find(word), std::string::npos) << line << ":" << complete(line);
}

}  // namespace
}  // namespace tervane
