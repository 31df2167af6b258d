// Which process is a server's on Linux, decided from what the system says of a process (its
// running image, its arguments, its working folder, its environment) and of the server's
// executable file. The answers come through ProcessFacts: /proc gives them in the program
// (ProcReader), a table in the tests.
//
// A process is the server's when, tried in order of cost: its running image is the server's
// file (by file name, then identity); its image is the server's former file, deleted at the
// same path when an update replaced it; it is the interpreter of the server's script (a
// launcher such as srcds_run); it carries the marker of a server the monitor started (looked
// for only when no process is the server's by the rest).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tervane {

// A file's identity: two paths name the same file exactly when both are equal.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const Identity&) const = default;
};

// Set in the environment of every server the monitor starts, so that the server is known even
// after its launcher script replaced itself with the game's own executable (exec).
inline constexpr char kServerMarker[] = "TERVANE_EXECUTABLE=";

// What the decision asks of the system. A question without an answer (the process ended, the
// file is not there, the system refused) answers false or none; whoever answers keeps a refusal
// apart from an answer.
class ProcessFacts {
 public:
  virtual ~ProcessFacts() = default;
  // The target of /proc/<pid>/<leaf>: "exe", the running image (with " (deleted)" after it
  // once the file is removed), or "cwd".
  virtual bool ReadLink(pid_t pid, const char* leaf, std::string& out) = 0;
  // The whole of /proc/<pid>/<leaf> ("cmdline", "environ"), at most limit bytes.
  virtual bool ReadFile(pid_t pid, const char* leaf, std::string& out, std::size_t limit) = 0;
  // The identity of the file a process runs, whatever path it was started by.
  virtual std::optional<Identity> ProcessIdentity(pid_t pid) = 0;
  // The identity of a file a process names; none for a folder.
  virtual std::optional<Identity> PathIdentity(const std::string& path) = 0;
  // The first bytes (up to 255) of the server's executable file.
  virtual bool ReadHead(const std::string& path, std::string& out) = 0;
  // A program as env finds it on the PATH, or empty.
  virtual std::string FindProgram(const std::string& name) = 0;
  // The path with every link resolved, or the path itself.
  virtual std::string Resolved(const std::string& path) = 0;
};

// The server's executable as the search needs it: its path as stored and as resolved, their
// file names, its identity, and for a launcher script the file names of its interpreter.
struct Target {
  std::string path;
  std::string real;
  std::string name;      // of path
  std::string realName;  // of real: a symbolic link runs under its target's name
  Identity identity;
  std::vector<std::string> interpreters;
};

// One entry of the process list: the process and its running image (/proc/<pid>/exe).
struct ProcessEntry {
  pid_t pid = 0;
  std::string executable;
};

// The target of the file at path with that identity.
[[nodiscard]] Target MakeTarget(ProcessFacts& facts, const std::string& path, Identity identity);

// "#!/bin/sh -e" or "#!/usr/bin/env bash": the file names under which the program that runs a
// script runs (a link such as /bin/sh runs as its target, dash or bash); none for a file that
// is no script.
[[nodiscard]] std::vector<std::string> InterpretersOf(ProcessFacts& facts, const std::string& script);

// Whether the process with this running image is the server's by its image: the server's file,
// its deleted former file, or the interpreter of the server's script.
[[nodiscard]] bool IsServerImage(ProcessFacts& facts, pid_t pid, std::string_view executable, const Target& target);
// Whether the process carries the marker of this server.
[[nodiscard]] bool CarriesMarker(ProcessFacts& facts, pid_t pid, const Target& target);
// Whether a process is the server's, reading its image first; the marker counts when asked.
[[nodiscard]] bool IsServerProcess(ProcessFacts& facts, pid_t pid, const Target& target, bool orMarker);

// The server's process in a process list: the first in list order by its image, else the
// first that carries the marker.
[[nodiscard]] std::optional<pid_t> FindServerIn(ProcessFacts& facts, std::span<const ProcessEntry> processes,
                                                const Target& target);

// A process list searched for many servers in a row, with the answers of FindServerIn: the
// processes by the file names of their images, the identity of each image read at most once and
// the markers read at most once for the whole list, so that a search for every server costs
// what one search for each does, however many processes share a file name. The list must
// outlive the index and stay as it is.
class ProcessIndex {
 public:
  explicit ProcessIndex(std::span<const ProcessEntry> processes);
  [[nodiscard]] std::optional<pid_t> Find(ProcessFacts& facts, const Target& target);

 private:
  std::optional<Identity> IdentityAt(ProcessFacts& facts, std::size_t at);
  // The first process in list order that carries the marker of the server's path.
  std::size_t MarkedAt(ProcessFacts& facts, const std::string& path);

  struct IdentityHash {
    std::size_t operator()(const Identity& id) const noexcept {
      return std::hash<std::uint64_t>{}(static_cast<std::uint64_t>(id.ino) * 0x9E3779B97F4A7C15ull ^
                                        static_cast<std::uint64_t>(id.dev));
    }
  };
  // The processes of one file name, in list order, and what is known of their images: the
  // identities of the first `read` of them, each image with the first process that runs it, so
  // that servers sharing a file name are found without going through the group again.
  struct Group {
    std::vector<std::size_t> processes;
    std::size_t read = 0;
    std::unordered_map<Identity, std::size_t, IdentityHash> first;
  };
  // The first process of the group running the image, when it comes before end in list order;
  // end otherwise. The group's images are read in list order, each once, no further than needed.
  std::size_t FirstWithImage(ProcessFacts& facts, Group& group, const Identity& image, std::size_t end);

  std::span<const ProcessEntry> processes_;
  std::unordered_map<std::string_view, Group> byName_;  // in list order
  std::vector<std::size_t> deleted_;  // the processes whose image was deleted
  std::vector<std::optional<Identity>> identities_;
  std::vector<bool> identityRead_;
  std::unordered_map<std::string, std::size_t> markers_;  // by the path marked; read on first need
  bool markersRead_ = false;
};

}  // namespace tervane
