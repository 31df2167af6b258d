#include "process/server_match_linux.h"

#include <algorithm>
#include <string_view>

namespace tervane {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr std::size_t kCommandLineLimit = 64 * 1024;
constexpr std::size_t kEnvironmentLimit = 256 * 1024;

std::string_view BaseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Whether any of a process's arguments after the interpreter's own options names the script:
// relative arguments are taken from the process's working folder.
bool RunsScript(ProcessFacts& facts, pid_t pid, const Target& target) {
  std::string cmdline;
  if (!facts.ReadFile(pid, "cmdline", cmdline, kCommandLineLimit)) return false;
  std::size_t at = cmdline.find('\0');  // past the interpreter itself
  while (at != std::string::npos && at + 1 < cmdline.size()) {
    const std::size_t begin = at + 1;
    at = cmdline.find('\0', begin);
    const std::string argument = cmdline.substr(begin, at == std::string::npos ? std::string::npos : at - begin);
    if (argument == "--") continue;
    if (!argument.empty() && argument[0] == '-') continue;  // an option of the interpreter
    std::string path = argument;
    if (path[0] != '/') {
      std::string cwd;
      if (!facts.ReadLink(pid, "cwd", cwd)) return false;
      path = cwd + "/" + path;
    }
    return facts.PathIdentity(path) == target.identity;
  }
  return false;
}

}  // namespace

Target MakeTarget(ProcessFacts& facts, const std::string& path, Identity identity) {
  Target target;
  target.path = path;
  target.real = facts.Resolved(path);
  target.name = std::string(BaseName(target.path));
  target.realName = std::string(BaseName(target.real));
  target.identity = identity;
  target.interpreters = InterpretersOf(facts, path);
  return target;
}

std::vector<std::string> InterpretersOf(ProcessFacts& facts, const std::string& script) {
  std::vector<std::string> names;
  std::string head;
  if (!facts.ReadHead(script, head) || head.size() < 3 || head[0] != '#' || head[1] != '!') return names;
  std::string line = head.substr(2);
  line.resize(std::min({line.find('\n'), line.find('\0'), line.size()}));  // the first line, as far as it is text
  std::vector<std::string> words;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t begin = line.find_first_not_of(" \t\r", at);
    if (begin == std::string::npos) break;
    const std::size_t end = line.find_first_of(" \t\r", begin);
    words.push_back(line.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    at = end == std::string::npos ? line.size() : end;
  }
  if (words.empty()) return names;
  std::string program = words[0];
  if (BaseName(program) == "env" && words.size() > 1) {
    // env finds the program on the PATH.
    if (std::string found = facts.FindProgram(words[1]); !found.empty()) program = std::move(found);
  }
  names.emplace_back(BaseName(program));
  names.emplace_back(BaseName(facts.Resolved(program)));
  return names;
}

bool IsServerImage(ProcessFacts& facts, pid_t pid, std::string_view executable, const Target& target) {
  if (executable.ends_with(kDeletedSuffix)) {
    const std::string_view former = executable.substr(0, executable.size() - kDeletedSuffix.size());
    return former == target.real || former == target.path;
  }
  const std::string_view name = BaseName(executable);
  if (name == target.name || name == target.realName) return facts.ProcessIdentity(pid) == target.identity;
  for (const std::string& interpreter : target.interpreters)
    if (name == interpreter) return RunsScript(facts, pid, target);
  return false;
}

bool CarriesMarker(ProcessFacts& facts, pid_t pid, const Target& target) {
  std::string environment;
  if (!facts.ReadFile(pid, "environ", environment, kEnvironmentLimit)) return false;
  for (const std::string* value : {&target.path, &target.real}) {
    const std::string entry = std::string(kServerMarker) + *value;
    for (std::size_t at = environment.find(entry); at != std::string::npos; at = environment.find(entry, at + 1))
      if ((at == 0 || environment[at - 1] == '\0') &&
          (at + entry.size() == environment.size() || environment[at + entry.size()] == '\0'))
        return true;
  }
  return false;
}

bool IsServerProcess(ProcessFacts& facts, pid_t pid, const Target& target, bool orMarker) {
  std::string executable;
  if (!facts.ReadLink(pid, "exe", executable)) return false;
  return IsServerImage(facts, pid, executable, target) || (orMarker && CarriesMarker(facts, pid, target));
}

std::optional<pid_t> FindServerIn(ProcessFacts& facts, std::span<const ProcessEntry> processes,
                                  const Target& target) {
  return ProcessIndex(processes).Find(facts, target);
}

ProcessIndex::ProcessIndex(std::span<const ProcessEntry> processes)
    : processes_(processes), identities_(processes.size()), identityRead_(processes.size()) {
  for (std::size_t i = 0; i < processes.size(); ++i) {
    const std::string_view executable = processes[i].executable;
    if (executable.ends_with(kDeletedSuffix))
      deleted_.push_back(i);
    else
      byName_[BaseName(executable)].processes.push_back(i);
  }
}

std::size_t ProcessIndex::FirstWithImage(ProcessFacts& facts, Group& group, const Identity& image,
                                         std::size_t end) {
  if (const auto known = group.first.find(image); known != group.first.end())
    return known->second < end ? known->second : end;
  for (; group.read < group.processes.size(); ++group.read) {
    const std::size_t i = group.processes[group.read];
    if (i >= end) return end;
    const std::optional<Identity> identity = IdentityAt(facts, i);
    if (!identity) continue;
    group.first.emplace(*identity, i);  // an image seen before keeps its earlier process
    if (*identity == image) {
      ++group.read;
      return i;
    }
  }
  return end;
}

std::optional<Identity> ProcessIndex::IdentityAt(ProcessFacts& facts, std::size_t at) {
  if (!identityRead_[at]) {
    identities_[at] = facts.ProcessIdentity(processes_[at].pid);
    identityRead_[at] = true;
  }
  return identities_[at];
}

std::size_t ProcessIndex::MarkedAt(ProcessFacts& facts, const std::string& path) {
  if (!markersRead_) {
    markersRead_ = true;
    std::string environment;
    for (std::size_t i = 0; i < processes_.size(); ++i) {
      if (!facts.ReadFile(processes_[i].pid, "environ", environment, kEnvironmentLimit)) continue;
      constexpr std::string_view marker = kServerMarker;
      for (std::size_t at = 0; at < environment.size();) {
        const std::size_t end = std::min(environment.find('\0', at), environment.size());
        const std::string_view entry(environment.data() + at, end - at);
        if (entry.starts_with(marker)) markers_.emplace(entry.substr(marker.size()), i);
        at = end + 1;
      }
    }
  }
  const auto found = markers_.find(path);
  return found == markers_.end() ? processes_.size() : found->second;
}

// As IsServerImage decides for each process in list order, with the first that is the server's
// by any rule found without looking at the others: every rule looks only at the processes of
// its names (or of a deleted image), in list order, and only before the best found so far.
std::optional<pid_t> ProcessIndex::Find(ProcessFacts& facts, const Target& target) {
  std::size_t best = processes_.size();
  for (const std::size_t i : deleted_) {
    const std::string_view executable = processes_[i].executable;
    const std::string_view former = executable.substr(0, executable.size() - kDeletedSuffix.size());
    if (former == target.real || former == target.path) {
      best = i;
      break;
    }
  }
  auto group = [&](std::string_view name) -> Group* {
    const auto found = byName_.find(name);
    return found == byName_.end() ? nullptr : &found->second;
  };
  for (const std::string* name : {&target.name, &target.realName}) {
    if (name == &target.realName && target.realName == target.name) break;
    if (Group* named = group(*name)) best = FirstWithImage(facts, *named, target.identity, best);
  }
  for (const std::string& interpreter : target.interpreters) {
    // A process under the server's own name is the server's by its identity alone.
    if (interpreter == target.name || interpreter == target.realName) continue;
    if (const Group* interpreted = group(interpreter))
      for (const std::size_t i : interpreted->processes) {
        if (i >= best) break;
        if (RunsScript(facts, processes_[i].pid, target)) {
          best = i;
          break;
        }
      }
  }
  if (best < processes_.size()) return processes_[best].pid;
  best = std::min(MarkedAt(facts, target.path), MarkedAt(facts, target.real));
  if (best < processes_.size()) return processes_[best].pid;
  return std::nullopt;
}

}  // namespace tervane
