// Which process is a server's, decided from what /proc would say, given as a table: no process
// runs for these tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "process/server_match_linux.h"

namespace tervane {
namespace {

using namespace std::string_literals;

class TableFacts final : public ProcessFacts {
 public:
  struct Process {
    std::string exe;
    Identity image;
    std::string cmdline, cwd, environ;
  };
  std::map<pid_t, Process> processes;
  std::map<std::string, Identity> files;
  std::map<std::string, std::string> heads, links, onPath;

  bool ReadLink(pid_t pid, const char* leaf, std::string& out) override {
    out = processes.contains(pid) ? (leaf == "exe"s ? processes[pid].exe : processes[pid].cwd) : "";
    return !out.empty();
  }
  bool ReadFile(pid_t pid, const char* leaf, std::string& out, std::size_t limit) override {
    out = processes.contains(pid) ? (leaf == "cmdline"s ? processes[pid].cmdline : processes[pid].environ) : "";
    out.resize(std::min(out.size(), limit));
    return !out.empty();
  }
  int identityReads = 0;
  std::optional<Identity> ProcessIdentity(pid_t pid) override {
    ++identityReads;
    return processes.contains(pid) ? std::optional(processes[pid].image) : std::nullopt;
  }
  std::optional<Identity> PathIdentity(const std::string& path) override {
    return files.contains(path) ? std::optional(files[path]) : std::nullopt;
  }
  bool ReadHead(const std::string& path, std::string& out) override {
    out = heads.contains(path) ? heads[path] : "";
    return heads.contains(path);
  }
  std::string FindProgram(const std::string& name) override { return onPath.contains(name) ? onPath[name] : ""; }
  std::string Resolved(const std::string& path) override { return links.contains(path) ? links[path] : path; }
};

constexpr Identity kServer{1, 10};
constexpr Identity kOther{1, 11};

TEST(ServerMatch, ByTheImageItsFileItsNameFirstAndItsDeletedFormerFile) {
  TableFacts facts;
  facts.links["/srv/cs/run"] = "/opt/game/hlds_linux";
  const Target direct = MakeTarget(facts, "/srv/cs/hlds_linux", kServer);
  const Target linked = MakeTarget(facts, "/srv/cs/run", kServer);
  struct Case {
    const Target& target;
    std::string exe;
    Identity image;
    bool server;
  } cases[] = {
      {direct, "/srv/cs/hlds_linux", kServer, true},
      {direct, "/elsewhere/hlds_linux", kServer, true},  // a hard link with the same name
      {direct, "/copy/hlds_linux", kOther, false},       // a copy: another file
      {direct, "/srv/cs/hlds_old", kServer, false},      // a link under another name
      {direct, "/srv/cs/hlds_linux (deleted)", kOther, true},  // replaced by an update while it runs
      {direct, "/srv/cs2/hlds_linux (deleted)", kOther, false},
      {linked, "/opt/game/hlds_linux", kServer, true},  // a symbolic link runs as its target
      {linked, "/opt/game/hlds_linux (deleted)", kOther, true},
  };
  for (const Case& c : cases) {
    facts.processes[7] = {c.exe, c.image, "", "", ""};
    EXPECT_EQ(IsServerImage(facts, 7, c.exe, c.target), c.server) << c.exe;
    EXPECT_EQ(IsServerProcess(facts, 7, c.target, false), c.server) << c.exe;
  }
}

TEST(ServerMatch, TheInterpretersOfAScriptFromItsFirstLine) {
  TableFacts facts;
  facts.links["/bin/sh"] = "/usr/bin/dash";
  facts.onPath["bash"] = "/usr/bin/bash";
  const struct {
    std::string head;
    std::vector<std::string> names;
  } cases[] = {
      {"#!/bin/sh -e\nexec ./srcds_linux \"$@\"\n", {"sh", "dash"}},
      {"#!  /bin/bash\r\n", {"bash", "bash"}},
      {"#!/usr/bin/env bash\n", {"bash", "bash"}},
      {"#!/usr/bin/env no-such-shell\n", {"env", "env"}},  // env itself then runs as env
      {"#!/bin/sh\0 junk\n"s, {"sh", "dash"}},
      {"#!\n", {}},
      {"\x7f" "ELF\x02\x01", {}},
  };
  for (const auto& c : cases) {
    facts.heads["/srv/cs/srcds_run"] = c.head;
    EXPECT_EQ(InterpretersOf(facts, "/srv/cs/srcds_run"), c.names) << c.head;
  }
  EXPECT_TRUE(InterpretersOf(facts, "/srv/unreadable").empty());
}

TEST(ServerMatch, AnInterpreterIsTheServersWhenItsFirstScriptArgumentIsTheServersFile) {
  TableFacts facts;
  facts.links["/bin/sh"] = "/usr/bin/dash";
  facts.heads["/srv/cs/srcds_run"] = "#!/bin/sh\n";
  facts.files = {{"/srv/cs/srcds_run", kServer}, {"/srv/cs/./srcds_run", kServer}, {"/tmp/other.sh", kOther}};
  const Target target = MakeTarget(facts, "/srv/cs/srcds_run", kServer);
  const struct {
    std::string exe, cmdline;
    bool server;
  } cases[] = {
      {"/usr/bin/dash", "sh\0-e\0/srv/cs/srcds_run\0-game\0cstrike\0"s, true},
      {"/usr/bin/dash", "sh\0--\0./srcds_run\0"s, true},  // relative to its working folder
      {"/bin/sh", "/bin/sh\0/srv/cs/srcds_run\0"s, true},
      {"/usr/bin/dash", "sh\0/tmp/other.sh\0/srv/cs/srcds_run\0"s, false},  // the script is the first
      {"/usr/bin/dash", "sh\0-c\0"s, false},
      {"/usr/bin/bash", "bash\0/srv/cs/srcds_run\0"s, false},  // not the script's interpreter
  };
  for (const auto& c : cases) {
    facts.processes[9] = {c.exe, kOther, c.cmdline, "/srv/cs", ""};
    EXPECT_EQ(IsServerImage(facts, 9, c.exe, target), c.server) << c.cmdline.c_str() << " " << c.exe;
  }
}

TEST(ServerMatch, TheMarkerIsAWholeEntryOfTheEnvironmentForThePathOrItsTarget) {
  TableFacts facts;
  facts.links["/srv/cs/run"] = "/opt/game/run";
  const Target target = MakeTarget(facts, "/srv/cs/run", kServer);
  const struct {
    std::string environ;
    bool marked;
  } cases[] = {
      {"HOME=/root\0TERVANE_EXECUTABLE=/srv/cs/run\0"s, true},
      {"TERVANE_EXECUTABLE=/opt/game/run"s, true},
      {"TERVANE_EXECUTABLE=/srv/cs/run2\0"s, false},
      {"X_TERVANE_EXECUTABLE=/srv/cs/run\0"s, false},
      {"NOTE=TERVANE_EXECUTABLE=/srv/cs/run\0"s, false},
  };
  for (const auto& c : cases) {
    facts.processes[5] = {"/opt/game/srcds_linux", kOther, "", "", c.environ};
    EXPECT_EQ(CarriesMarker(facts, 5, target), c.marked) << c.environ.c_str();
    EXPECT_EQ(IsServerProcess(facts, 5, target, true), c.marked);
    EXPECT_FALSE(IsServerProcess(facts, 5, target, false)) << "the marker only when asked";
  }
}

TEST(ServerMatch, TheListIsSearchedByImageFirstThenByMarkerInListOrder) {
  TableFacts facts;
  const Target target = MakeTarget(facts, "/srv/cs/hlds_linux", kServer);
  facts.processes = {{3, {"/opt/game/srcds_linux", kOther, "", "", "TERVANE_EXECUTABLE=/srv/cs/hlds_linux"}},
                     {4, {"/srv/cs/hlds_linux", kServer, "", "", ""}},
                     {2, {"/srv/cs/hlds_linux", kServer, "", "", ""}}};
  const std::vector<ProcessEntry> list = {{3, "/opt/game/srcds_linux"}, {4, "/srv/cs/hlds_linux"}, {2, "/srv/cs/hlds_linux"}};
  EXPECT_EQ(FindServerIn(facts, list, target), 4);
  EXPECT_EQ(FindServerIn(facts, std::span(list).first(1), target), 3);
  EXPECT_EQ(FindServerIn(facts, std::span(list).subspan(1), target), 4);
  EXPECT_EQ(FindServerIn(facts, {}, target), std::nullopt);
}

// One index serves many searches: the first process in list order by any rule (a deleted
// former image, the name and identity, a script's interpreter) wins over a later one by another
// rule, the marker only when no image is the server's; and every image's identity is read once
// however many servers share its file name.
TEST(ServerMatch, OneIndexFindsWhatEachSearchWouldAndReadsEachImageOnce) {
  TableFacts facts;
  facts.heads["/srv/a/run.sh"] = "#!/bin/sh\n";
  facts.files["/srv/a/run.sh"] = {1, 20};
  const Target script = MakeTarget(facts, "/srv/a/run.sh", {1, 20});
  const Target deleted = MakeTarget(facts, "/srv/b/srv", {1, 21});
  std::vector<Target> copies;
  std::vector<ProcessEntry> list = {{90, "/bin/sh"}, {91, "/srv/b/srv (deleted)"}};
  facts.processes[90] = {"/bin/sh", {1, 2}, std::string("sh\0/srv/a/run.sh\0", 17), "/", ""};
  facts.processes[92] = {"/usr/bin/env", {1, 3}, "", "", std::string("TERVANE_EXECUTABLE=/srv/m/srv\0", 30)};
  for (int i = 0; i < 8; ++i) {
    const Identity identity{2, static_cast<ino_t>(100 + i)};
    const std::string path = "/srv/" + std::to_string(i) + "/srv";
    copies.push_back(MakeTarget(facts, path, identity));
    list.push_back({100 + i, path});
    facts.processes[100 + i] = {path, identity, "", "", ""};
  }
  list.push_back({92, "/usr/bin/env"});
  list.push_back({93, "/srv/b/srv"});
  facts.processes[93] = {"/srv/b/srv", {1, 21}, "", "", ""};
  ProcessIndex index(list);
  for (int round = 0; round < 2; ++round)
    for (int i = 7; i >= 0; --i) EXPECT_EQ(index.Find(facts, copies[static_cast<std::size_t>(i)]), 100 + i);
  EXPECT_EQ(facts.identityReads, 8) << "each image once, whatever the order of the searches";
  EXPECT_EQ(index.Find(facts, script), 90) << "the interpreter comes first in the list";
  EXPECT_EQ(index.Find(facts, deleted), 91) << "the deleted former image before the live one";
  EXPECT_EQ(index.Find(facts, MakeTarget(facts, "/srv/m/srv", {3, 1})), 92) << "by the marker";
  EXPECT_EQ(index.Find(facts, MakeTarget(facts, "/srv/x/srv", {3, 2})), std::nullopt);
}

// Servers that share a file name: a shared image answers with its first process in list
// order whatever was searched before, and a search cut short by an earlier rule (a deleted
// former image) leaves the rest of the name's images to be read by the next search.
TEST(ServerMatch, ServersSharingANameFindTheirFirstProcessWhateverTheOrderOfSearches) {
  TableFacts facts;
  const Identity x{4, 1}, y{4, 2}, z{4, 3};
  const std::vector<ProcessEntry> list = {{9, "/s/w/srv (deleted)"}, {10, "/s/1/srv"}, {11, "/s/2/srv"},
                                          {12, "/s/3/srv"}, {13, "/s/4/srv"}};
  const std::pair<pid_t, Identity> runs[] = {{10, x}, {11, y}, {12, x}, {13, z}};
  for (const auto& [pid, identity] : runs) facts.processes[pid] = {"/s/" + std::to_string(pid - 9) + "/srv", identity, "", "", ""};
  ProcessIndex index(list);
  EXPECT_EQ(index.Find(facts, MakeTarget(facts, "/s/w/srv", z)), 9) << "the deleted image comes first";
  EXPECT_EQ(facts.identityReads, 0) << "no image after the one found is read";
  const std::pair<Identity, pid_t> searches[] = {{z, 13}, {x, 10}, {y, 11}, {x, 10}};
  for (const auto& [identity, pid] : searches)
    EXPECT_EQ(index.Find(facts, MakeTarget(facts, "/s/t" + std::to_string(identity.ino) + "/srv", identity)), pid);
  EXPECT_EQ(facts.identityReads, 4);
}

}  // namespace
}  // namespace tervane
