#include "app/command_line_linux.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>

#include "core/restart_settings.h"
#include "monitor/server_checks.h"
#include "support/text.h"
#include "support/version.h"

namespace tervane {
namespace {

// The values as given, before their form is checked.
struct Given {
  std::string dir;
  bool version = false, completion = false;
  std::vector<std::string> numbers;
  std::string number, target;  // edit N, rcon N, move N M
  std::string in, priority, affinity, lines, ids, name, exe, params, as, topic;
};

// Value kinds the completion knows, by an option's value name.
constexpr const char* kPriorities[] = {"normal", "high", "realtime"};

// Every command and option of kesp, described once, bound to given and parsed.
struct Parser {
  CLI::App app{"", "kesp"};
  Given g;
  ParsedCommand p;
  std::map<const CLI::App*, Command> commands;

  Parser() {
    app.require_subcommand(0, 1);  // "kesp rcon 1 status" stays one rcon
    app.add_option("--dir", g.dir, "keep the files (serverlist.dat, logs/, kesp.ini) in DIR")->type_name("DIR");
    app.add_flag("--version", g.version, "print the version");
    app.add_flag("--bash-completion", g.completion)->group("");  // how the package's completion is made
    const auto sub = [this](Command c, const std::string& what) {
      CLI::App* s = app.add_subcommand(std::string(CommandWord(c)), what);
      commands[s] = c;
      return s;
    };
    const auto numbers = [this](CLI::App* s) {
      s->add_option("N", g.numbers, "the servers' numbers, as kesp list shows them")->type_name("");
    };
    const auto confirmed = [this](CLI::App* s) {
      s->add_flag("-y,--yes", p.yes, "answer the confirmation: do it without asking");
      s->add_option("--ids", g.ids)->group("");  // a confirmation's answer from the client
    };
    sub(Command::List, "the registered servers");
    sub(Command::Status,
        "every server's state, as the list view shows it, with the time and kind of its last restart; "
        "exit code 3 when no kesp supervises (the list is then shown as saved)")
        ->add_flag("--json", p.json, "the status document, as GET /api/servers gives it");
    CLI::App* log = sub(Command::Log, "the month's log (logs/YYYY-MM.log) as UTF-8");
    log->add_flag("-f,--follow", p.follow, "follow it as lines are added, as tail -f does");
    log->add_option("-n,--lines", g.lines, "only its last N lines")->type_name("N");
    for (const Command c : {Command::Add, Command::Edit}) {
      const bool add = c == Command::Add;
      CLI::App* s = sub(c, add ? "register a server"
                               : "change server N: a new executable or new run parameters take effect at its next "
                                 "start, priority and affinity at once");
      if (!add) s->add_option("N", g.number, "the server's number")->type_name("");
      s->add_option("--exe", g.exe, "the server's executable (or launcher script)")->type_name("PATH");
      s->add_option("--name", g.name,
                    add ? "at most 31 characters; without it, the executable's folder name" : "at most 31 characters")
          ->type_name("NAME");
      s->add_option("--params", g.params,
                    "the run parameters, e.g. \"+ip 127.0.0.1 -port 27015\" (27015 when they name no port)")
          ->type_name("PARAMETERS");
      s->add_option("--priority", g.priority, "normal (the default), high or realtime: nice 0, -10 or -20")
          ->type_name("LEVEL");
      s->add_option("--affinity", g.affinity, "the processors it may run on, bit n for processor n, e.g. 0x3")
          ->type_name("MASK");
      s->add_flag("--hide", p.hide, "keep its console hidden (a setting of the Windows program)");
      if (add) s->add_flag("--paused", p.paused, "register it paused: kesp unpause N starts its supervision");
      else s->add_flag("--show", p.show, "show its console (a setting of the Windows program)");
    }
    CLI::App* remove = sub(Command::Remove, "remove servers from the list (their processes keep running)");
    remove->alias("delete");
    numbers(remove);
    confirmed(remove);
    CLI::App* move = sub(Command::Move, "move server N to position M");
    move->add_option("N", g.number, "the server's number")->type_name("");
    move->add_option("M", g.target, "its new position")->type_name("");
    numbers(sub(Command::Pause, "pause the supervision of servers"));
    numbers(sub(Command::Unpause, "resume the supervision of servers"));
    CLI::App* restart = sub(Command::Restart,
                            "restart servers now (with kesp.ini's StopCommand a server that answers is sent it "
                            "through RCON and has StopSeconds to end by itself), or plan a restart with --in");
    numbers(restart);
    confirmed(restart);
    restart->add_option("--in", g.in,
                        "plan the restart MINUTES from now (0 to 1440), its players warned in the game through "
                        "RCON (needs the running kesp)")
        ->type_name("MINUTES");
    CLI::App* close = sub(Command::Close, "end servers and pause them");
    numbers(close);
    confirmed(close);
    numbers(sub(Command::Cancel, "cancel a restart planned with restart --in"));
    CLI::App* update = sub(Command::Update,
                           "update the game of servers (needs the running kesp): stop them (with StopCommand, as "
                           "restart does), run kesp.ini's UpdateCommand once for each installation, start them "
                           "again; now, or warned with --in");
    update->add_option("N", g.numbers, "the servers' numbers, as kesp list shows them, or all")->type_name("");
    confirmed(update);
    update->add_option("--in", g.in,
                       "update MINUTES from now (0 to 1440), its players warned in the game through RCON")
        ->type_name("MINUTES");
    CLI::App* rcon = sub(Command::Rcon,
                         "send COMMAND to server N through RCON and print its answer (the password from "
                         "+rcon_password in its run parameters, else kesp.ini's RconPassword)");
    rcon->add_option("N", g.number, "the server's number")->type_name("");
    rcon->prefix_command();  // the words after N are the server's, taken as they are
    rcon->footer("COMMAND...: the console command, every word after N as given (\"sv_gravity -100\" too)");
    sub(Command::Help, "this help, or a command's")->add_option("COMMAND", g.topic, "the command")->type_name("");
    CLI::App* service = sub(Command::Service, "run kesp as a systemd service (a unit for this data folder)");
    service->require_subcommand(0, 1);
    CLI::App* install = service->add_subcommand("install", "write and enable the unit tervane.service, and start it");
    install->add_flag("--user", p.user, "a unit of your own service manager (~/.config/systemd/user)");
    install->add_option("--as", g.as, "run kesp, and so every server, as USER")->type_name("USER");
    service->add_subcommand("uninstall", "stop, disable and remove the unit")
        ->add_flag("--user", p.user, "the unit of your own service manager");
  }
};

// The commands parsed, from the program down to the last ("kesp", "service", "install").
std::vector<const CLI::App*> Chain(const CLI::App& app) {
  std::vector<const CLI::App*> chain{&app};
  for (std::vector<CLI::App*> subs; !(subs = chain.back()->get_subcommands()).empty();) chain.push_back(subs.front());
  return chain;
}

std::string PathOf(const std::vector<const CLI::App*>& chain) {
  std::string path = "kesp";
  for (std::size_t i = 1; i < chain.size(); ++i) path += " " + chain[i]->get_name();
  return path;
}

bool Visible(const CLI::Option* o) { return o->nonpositional() && !o->get_group().empty(); }

std::vector<std::string> NamesOf(const CLI::Option* o) {
  std::vector<std::string> names;
  for (const std::string& l : o->get_lnames()) names.push_back("--" + l);
  for (const std::string& s : o->get_snames()) names.push_back("-" + s);
  return names;
}

std::vector<std::string> OptionWords(const CLI::App& app) {
  std::vector<std::string> words;
  for (const CLI::Option* o : app.get_options(Visible))
    for (const std::string& n : NamesOf(o)) words.push_back(n);
  return words;
}

std::vector<std::string> CommandWordsOf(const CLI::App& app) {
  std::vector<std::string> words;
  for (const CLI::App* s : app.get_subcommands([](const CLI::App*) { return true; })) {
    words.push_back(s->get_name());
    for (const std::string& a : s->get_aliases()) words.push_back(a);
  }
  return words;
}

// The optimal string alignment distance: insertions, deletions, substitutions and swaps of two
// neighbours each count 1.
std::size_t WordDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The candidate nearest to word, when it is near enough to be a slip of the fingers; else "".
std::string NearestWord(std::string_view word, const std::vector<std::string>& candidates) {
  // A slip: one edit in a short word, one in three in a longer one; never the only letter.
  const std::size_t most = std::min(std::max<std::size_t>(1, word.size() / 3), word.size() > 2 ? word.size() - 2 : 0);
  std::string nearest;
  std::size_t best = most + 1;
  for (const std::string& c : candidates)
    if (const std::size_t d = WordDistance(word, c); d < best) {
      best = d;
      nearest = c;
    }
  return nearest;
}

// One line on err, exit code 2.
int Unreadable(std::ostream& err, const std::string& what, const std::string& path) {
  err << "kesp: " << what << "; see " << path << " --help\n";
  return kExitUsage;
}

std::string Quoted(const std::string& word) { return "'" + TerminalSafe(Utf8ToUtf16(word)) + "'"; }

std::string Meant(const std::string& word, const std::vector<std::string>& candidates) {
  const std::string near = NearestWord(word, candidates);
  return near.empty() ? std::string() : " (did you mean '" + near + "'?)";
}

// A word no command takes where it stands: the first left over, of the program or of the
// command it was given to.
int Unexpected(const std::vector<const CLI::App*>& chain, std::ostream& err) {
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::vector<std::string> left = chain[i]->remaining();
    if (left.empty()) continue;
    const std::string& word = left.front();
    const std::vector<const CLI::App*> at(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    if (word.size() > 1 && word[0] == '-') {
      // A command's option given before the command ("kesp --yes restart 1").
      for (const CLI::App* s : chain[i]->get_subcommands([](const CLI::App*) { return true; })) {
        const std::vector<std::string> own = OptionWords(*s);
        if (i == 0 && word != "--help" && std::find(own.begin(), own.end(), word) != own.end())
          return Unreadable(err, "the option " + Quoted(word) + " goes after the command it is for", PathOf(at));
      }
      return Unreadable(err, "unknown option " + Quoted(word) + Meant(word, OptionWords(*chain[i])), PathOf(at));
    }
    if (!chain[i]->get_subcommands([](const CLI::App*) { return true; }).empty() && chain[i]->get_subcommands().empty())
      return Unreadable(err, "unknown command " + Quoted(word) + Meant(word, CommandWordsOf(*chain[i])), PathOf(at));
    return Unreadable(err, "unexpected argument " + Quoted(word), PathOf(at));
  }
  return Unreadable(err, "unexpected arguments", PathOf(chain));
}

// The option an error of CLI11's names: the word before its first ':' or ',' ("--in: 1 required
// TEXT missing"), or the last word of "Expected ... arguments to --in, got 0".
std::string OptionNamed(const std::string& what) {
  if (const std::size_t to = what.find(" arguments to "); to != std::string::npos) {
    const std::size_t from = to + 14;
    return what.substr(from, what.find(',', from) - from);
  }
  return what.substr(0, what.find_first_of(":,"));
}

bool Digits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

const CLI::Option* GivenOption(const CLI::App* app, const char* name) {
  const CLI::Option* o = app->get_option_no_throw(name);
  return o && o->count() > 0 ? o : nullptr;
}

// The values' forms, and what the commands need that CLI11 leaves to us.
int Finish(Parser& parser, const std::vector<std::string>& args, ParsedCommand& parsed, std::ostream& out,
           std::ostream& err) {
  const Given& g = parser.g;
  ParsedCommand& p = parser.p;
  if (g.completion) return out << BashCompletionScript(), 0;
  if (g.version) return out << "kesp (Tervane) " TERVANE_VERSION "\n", 0;
  const std::vector<const CLI::App*> chain = Chain(parser.app);
  const std::string path = PathOf(chain);
  if (GivenOption(&parser.app, "--dir") && g.dir.empty())
    return Unreadable(err, "--dir needs a folder: kesp --dir DIR [command]", path);
  p.dir = g.dir;
  if (chain.size() == 1) {
    parsed = std::move(p);
    return kRunCommand;  // supervise
  }
  const CLI::App* at = chain.back();
  const Command c = parser.commands.at(chain[1]);
  p.command = c;
  if (c == Command::Help) {
    if (g.topic.empty()) return out << ServerCommandUsage(), 0;
    const CLI::App* topic = nullptr;
    for (const CLI::App* s : parser.app.get_subcommands([](const CLI::App*) { return true; }))
      if (s->check_name(g.topic)) topic = s;
    if (!topic)
      return Unreadable(err, "unknown command " + Quoted(g.topic) + Meant(g.topic, CommandWordsOf(parser.app)), path);
    return out << topic->help("kesp"), 0;
  }
  if (c == Command::Service) {
    if (chain.size() < 3) return Unreadable(err, "service needs install or uninstall", path);
    p.install = chain[2]->get_name() == "install";
  }
  // The servers by their numbers: digits, or it is no number at all.
  std::vector<std::string> numbers = g.numbers;
  if (c == Command::Edit || c == Command::Move || c == Command::Rcon) {
    if (GivenOption(at, "N")) numbers.push_back(g.number);
    if (GivenOption(at, "M")) numbers.push_back(g.target);
  }
  // update all: every server, and no number beside it.
  if (c == Command::Update && std::find(numbers.begin(), numbers.end(), "all") != numbers.end()) {
    if (numbers.size() > 1) return Unreadable(err, "update takes the numbers of servers or all, not both", path);
    numbers.clear();
    p.all = true;
  }
  for (const std::string& n : numbers)
    if (!Digits(n)) return Unreadable(err, Quoted(n) + " is not a server number", path);
  p.numbers = std::move(numbers);
  if (c == Command::Rcon) {
    // The words after N, as given: what was left over must be the line's end, after N.
    p.rconWords = at->remaining();
    const std::size_t n = p.rconWords.size();
    if (n && (args.size() < n + 1 || !std::equal(p.rconWords.begin(), p.rconWords.end(), args.end() - static_cast<std::ptrdiff_t>(n)) ||
              args[args.size() - n - 1] != g.number))
      return Unreadable(err, "unknown option " + Quoted(p.rconWords.front()) + Meant(p.rconWords.front(), OptionWords(*at)),
                        path);
    if (p.numbers.empty() || p.rconWords.empty())
      return Unreadable(err, "rcon needs the number of a server and a command", path);
  }
  if (GivenOption(at, "--in")) {
    const auto minutes = Digits(g.in) ? ParseInt32(g.in) : std::nullopt;
    if (!minutes || *minutes > kMaxOneOffMinutes)
      return Unreadable(err, "--in needs a number of minutes from 0 to 1440, not " + Quoted(g.in), path);
    p.inMinutes = *minutes;
  }
  if (GivenOption(at, "--lines")) {
    const auto lines = Digits(g.lines) ? ParseInt32(g.lines) : std::nullopt;
    if (!lines) return Unreadable(err, "-n needs a number of lines, not " + Quoted(g.lines), path);
    p.lines = static_cast<std::size_t>(*lines);
  }
  if (GivenOption(at, "--priority")) {
    p.priority = ParsePriority(g.priority);
    if (!p.priority) {
      const std::vector<std::string> levels(std::begin(kPriorities), std::end(kPriorities));
      const std::string near = Meant(g.priority, levels);
      return Unreadable(err, "unknown priority " + Quoted(g.priority) + (near.empty() ? " (normal, high or realtime)" : near),
                        path);
    }
  }
  if (GivenOption(at, "--affinity")) {
    const auto mask = ParseInt32(g.affinity);
    if (!mask) return Unreadable(err, "the affinity must be a number, e.g. 0x3, not " + Quoted(g.affinity), path);
    p.affinity = static_cast<std::uint32_t>(*mask);
  }
  if (GivenOption(at, "--ids")) p.ids = g.ids;
  if (GivenOption(at, "--name")) p.name = g.name;
  if (GivenOption(at, "--exe")) p.exe = g.exe;
  if (GivenOption(at, "--params")) p.params = g.params;
  if (GivenOption(at, "--as")) p.as = g.as;
  if (c == Command::Add && !p.exe) return Unreadable(err, "add needs --exe PATH", path);
  parsed = std::move(p);
  return kRunCommand;
}

}  // namespace

int ParseCommandLine(const std::vector<std::string>& args, ParsedCommand& parsed, std::ostream& out, std::ostream& err) {
  Parser parser;
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them from the back
  try {
    parser.app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const std::vector<const CLI::App*> chain = Chain(parser.app);
    if (chain.size() == 1) return out << ServerCommandUsage(), 0;
    std::vector<const CLI::App*> before(chain.begin(), chain.end() - 1);
    out << chain.back()->help(PathOf(before));
    return 0;
  } catch (const CLI::ExtrasError&) {
    return Unexpected(Chain(parser.app), err);
  } catch (const CLI::ArgumentMismatch& e) {
    const std::string what = e.what(), option = OptionNamed(what);
    const bool twice = what.find("At Most") != std::string::npos;
    return Unreadable(err, (twice ? "the option " + Quoted(option) + " is given more than once"
                                  : "the option " + Quoted(option) + " needs a value"),
                      PathOf(Chain(parser.app)));
  } catch (const CLI::ConversionError& e) {
    // A flag given a value ("--json=x"); CLI11 says "Could not convert: --json = x".
    const std::string what = e.what();
    const std::size_t from = what.find(": ") == std::string::npos ? 0 : what.find(": ") + 2;
    return Unreadable(err, "the option " + Quoted(what.substr(from, what.find(" = ", from) - from)) + " takes no value",
                      PathOf(Chain(parser.app)));
  } catch (const CLI::ParseError& e) {
    return Unreadable(err, "cannot read the command line: " + TerminalSafe(Utf8ToUtf16(e.what())),
                      PathOf(Chain(parser.app)));
  }
  return Finish(parser, args, parsed, out, err);
}

std::vector<std::string> CommandWords(const std::vector<std::string>& args) {
  std::size_t i = 0;
  while (i < args.size() && (args[i] == "--dir" || args[i].rfind("--dir=", 0) == 0)) i += args[i] == "--dir" ? 2 : 1;
  return {args.begin() + static_cast<std::ptrdiff_t>(std::min(i, args.size())), args.end()};
}

void StartServerCommand(Monitor& monitor, const std::vector<std::string>& args, int processorCount, CommandIo& io,
                        std::function<void(int code)> done) {
  ParsedCommand command;
  if (const int code = ParseCommandLine(args, command, io.out, io.err); code != kRunCommand) return done(code);
  StartServerCommand(monitor, command, processorCount, io, std::move(done));
}

int RunServerCommand(Monitor& monitor, const std::vector<std::string>& args, int processorCount, CommandIo& io) {
  ParsedCommand command;
  if (const int code = ParseCommandLine(args, command, io.out, io.err); code != kRunCommand) return code;
  return RunServerCommand(monitor, command, processorCount, io);
}

std::string ServerCommandUsage() {
  return "usage:\n"
         "  kesp --dir DIR [command]    with the files (serverlist.dat, logs/, kesp.ini) in DIR, as\n"
         "                              TERVANE_DIR=DIR does; without either, the program's folder,\n"
         "                              or ~/.local/state/tervane (/var/lib/tervane for root) when\n"
         "                              kesp lies in a system folder\n"
         "  kesp --version              the version\n"
         "  kesp -h | --help | help [COMMAND]\n"
         "                              this help; kesp COMMAND --help tells a command's options\n"
         "  kesp                        supervise the servers of serverlist.dat (Ctrl+C ends it;\n"
         "                              the servers keep running)\n"
         "  kesp list                   the registered servers\n"
         "  kesp status [--json]        every server's state, as the list view shows it, with the\n"
         "                              time and kind of its last restart; exit code 3 when no\n"
         "                              kesp supervises (the list is then shown as saved)\n"
         "  kesp add --exe PATH [--name NAME] [--params \"RUN PARAMETERS\"]\n"
         "           [--priority normal|high|realtime] [--affinity MASK] [--hide] [--paused]\n"
         "                              register a server (the parameters give its port,\n"
         "                              e.g. \"+ip 127.0.0.1 -port 27015\"; priority normal by default;\n"
         "                              the name by default its executable's folder)\n"
         "  kesp edit N [the options of add, and --show]\n"
         "                              a new executable or new run parameters take effect at\n"
         "                              the server's next start; priority and affinity at once\n"
         "  kesp remove N... | delete N...\n"
         "                              remove servers (their processes keep running)\n"
         "  kesp move N M               move server N to position M\n"
         "  kesp pause N... | unpause N...\n"
         "  kesp restart N... | close N...\n"
         "                              with kesp.ini's StopCommand, a server that answers is sent\n"
         "                              it through RCON and has StopSeconds to end by itself\n"
         "  kesp restart N... --in MINUTES\n"
         "                              a restart MINUTES from now (0 to 1440), its players warned\n"
         "                              in the game through RCON (needs the running kesp)\n"
         "  kesp cancel N...            cancels such a restart\n"
         "  kesp update N... | all [--in MINUTES]\n"
         "                              a game update: the servers stopped, kesp.ini's\n"
         "                              UpdateCommand run once for each installation, the servers\n"
         "                              started again; now, or warned MINUTES from now (needs the\n"
         "                              running kesp)\n"
         "  kesp rcon N COMMAND...      sends COMMAND to server N through RCON and prints its\n"
         "                              answer (the password from +rcon_password in its run\n"
         "                              parameters, else kesp.ini's RconPassword)\n"
         "  kesp log [-f|--follow] [-n|--lines N]\n"
         "                              the month's log (logs/YYYY-MM.log, UTF-16LE) as UTF-8: the\n"
         "                              last N lines, or all of it; -f follows it as it grows\n"
         "  kesp service install [--user | --as USER] | kesp service uninstall [--user]\n"
         "                              run kesp as a systemd service (a unit for this data folder);\n"
         "                              --as runs it, and so the servers, as that user\n"
         "Servers are numbered as list shows them. While kesp supervises, the commands act on the\n"
         "running kesp; otherwise on serverlist.dat. remove, restart, close and update ask first;\n"
         "--yes (-y) answers.\n"
         "Restarts are of three kinds: supervised (after a fatal error, a lost process or no\n"
         "response: the ones the crash-loop guard counts), operator (a restart by command, and\n"
         "the start after close and unpause) and planned (kesp.ini's planned restarts,\n"
         "restart --in and game updates). A first start is no restart. The Restarts count is\n"
         "the list's: the supervised restarts and the starts after close and unpause.\n"
         "Exit codes: 0 done, 1 failed or refused, 2 a command line that cannot be read, 3 a\n"
         "confirmation not given (status: no kesp supervises).\n";
}

CommandLineWords VisibleWords() {
  Parser parser;
  CommandLineWords words;
  std::vector<const CLI::App*> apps{&parser.app};
  const auto once = [](std::vector<std::string>& to, const std::string& w) {
    if (std::find(to.begin(), to.end(), w) == to.end()) to.push_back(w);
  };
  for (std::size_t i = 0; i < apps.size(); ++i) {
    for (const std::string& w : CommandWordsOf(*apps[i])) once(words.commands, w);
    for (const std::string& w : OptionWords(*apps[i])) once(words.options, w);
    for (const CLI::App* s : apps[i]->get_subcommands([](const CLI::App*) { return true; })) apps.push_back(s);
  }
  return words;
}

std::string BashCompletionScript() {
  Parser parser;
  std::ostringstream commandCases, optionCases, valueless;
  std::string dirWords, fileWords, userWords, priorityWords;
  const auto add = [](std::string& to, const std::string& word) {
    if (("| " + to + " |").find("| " + word + " |") == std::string::npos) to += (to.empty() ? "" : " | ") + word;
  };
  // Each command's words: its own commands, and its options as groups of names (one group, one option).
  std::vector<std::pair<std::string, const CLI::App*>> apps{{"", &parser.app}};
  for (std::size_t i = 0; i < apps.size(); ++i) {
    const auto [path, app] = apps[i];
    std::string words, groups;
    for (const CLI::App* s : app->get_subcommands([](const CLI::App*) { return true; })) {
      const std::string sub = path.empty() ? s->get_name() : path + " " + s->get_name();
      apps.emplace_back(sub, s);
      for (const std::string& w : CommandWordsOf(*app))
        if (s->check_name(w)) commandCases << "      \"" << path << ":" << w << "\") path=\"" << sub << "\" ;;\n";
    }
    // help COMMAND: the program's commands.
    const bool help = parser.commands.count(app) && parser.commands.at(app) == Command::Help;
    for (const std::string& w : CommandWordsOf(help ? parser.app : *app)) words += (words.empty() ? "" : " ") + w;
    for (const CLI::Option* o : app->get_options(Visible)) {
      std::string group;
      for (const std::string& n : NamesOf(o)) group += (group.empty() ? "" : " ") + n;
      groups += " \"" + group + "\"";
      if (o->get_items_expected_max() == 0) continue;  // a flag
      const std::string type = o->get_type_name();
      for (const std::string& n : NamesOf(o)) {
        if (path.empty()) commandCases << "      \":" << n << "\") i=$((i + 1)) ;;\n";  // its value is no command
        if (type == "DIR") add(dirWords, n);
        else if (type == "PATH") add(fileWords, n);
        else if (type == "USER") add(userWords, n);
        else if (type == "LEVEL") add(priorityWords, n);
        else valueless << " " << n;
      }
    }
    optionCases << "    \"" << path << "\") words=\"" << words << "\"; groups=(" << groups << " ) ;;\n";
  }
  std::string quiet;  // values nothing completes
  std::istringstream names(valueless.str());
  for (std::string n; names >> n;) add(quiet, n);
  std::string priorities;
  for (const char* level : kPriorities) priorities += (priorities.empty() ? "" : " ") + std::string(level);
  std::ostringstream script;
  script << "# bash completion for kesp (Tervane), made from kesp's own command line when it was built.\n"
            "_kesp() {\n"
            "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
            "  local i=1 path=\"\" w\n"
            "  # The command the word belongs to (\"service install\"); the options before it take values.\n"
            "  while [ \"$i\" -lt \"$COMP_CWORD\" ]; do\n"
            "    w=${COMP_WORDS[i]}\n"
            "    case \"$path:$w\" in\n"
         << commandCases.str()
         << "    esac\n"
            "    i=$((i + 1))\n"
            "  done\n"
            "  case $prev in\n"
            "    "
         << dirWords
         << ") compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- \"$cur\"); return ;;\n"
            "    "
         << fileWords
         << ") compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- \"$cur\"); return ;;\n"
            "    "
         << userWords << ") mapfile -t COMPREPLY < <(compgen -u -- \"$cur\"); return ;;\n"
         << "    " << priorityWords << ") mapfile -t COMPREPLY < <(compgen -W \"" << priorities
         << "\" -- \"$cur\"); return ;;\n"
            "    "
         << quiet
         << ") return ;;\n"
            "  esac\n"
            "  local words=\"\" groups=() g n k seen\n"
            "  case $path in\n"
         << optionCases.str()
         << "  esac\n"
            "  # Each option once: one whose name is on the line already is not offered again.\n"
            "  for g in \"${groups[@]}\"; do\n"
            "    seen=\"\"\n"
            "    for n in $g; do\n"
            "      for ((k = 1; k < COMP_CWORD; k++)); do [ \"${COMP_WORDS[k]}\" = \"$n\" ] && seen=1; done\n"
            "    done\n"
            "    [ -n \"$seen\" ] || words=\"$words $g\"\n"
            "  done\n"
            "  mapfile -t COMPREPLY < <(compgen -W \"$words\" -- \"$cur\")\n"
            "}\n"
            "complete -F _kesp kesp\n";
  return script.str();
}

}  // namespace tervane
