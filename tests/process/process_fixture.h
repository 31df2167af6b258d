// A scratch folder with copies and links of the stand-in program, a process control whose
// output folder lies inside it, and the cleanup of every process a test started.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "process/process_control.h"
#include "process_test_support.h"
#include "support/file.h"
#include "support/text.h"
#include "test_support.h"

namespace tervane::testing {

class ProcessControlTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (ProcessId id : byHand_) KillByHand(id);
    for (const Path& file : placed_) {
      for (ProcessId id : ProcessesOf(file)) KillByHand(id);
    }
  }

  Path Folder(std::u16string_view name) {
    const Path folder = temp_.Dir() + std::u16string(name) + PathSeparator();
    std::filesystem::create_directories(Fs(folder));
    return folder;
  }

  // A copy of the stand-in program: a file of its own.
  Path PlaceCopy(std::u16string_view folder, std::u16string name = SleeperFileName()) {
    const Path file = Folder(folder) + name;
    std::filesystem::copy_file(Fs(SleeperBuildPath()), Fs(file));
    placed_.push_back(file);
    return file;
  }

  // Another name for the same file.
  Path PlaceLink(const Path& existing, std::u16string_view folder,
                 std::u16string name = SleeperFileName()) {
    const Path file = Folder(folder) + name;
    std::filesystem::create_hard_link(Fs(existing), Fs(file));
    placed_.push_back(file);
    return file;
  }

  ProcessId ByHand(const Path& exe, const std::vector<std::string>& args) {
    const ProcessId id = StartByHand(exe, args);
    if (id > 0) byHand_.push_back(id);
    return id;
  }

  // Waits for exactly `count` processes of the file and answers them in list order.
  std::vector<ProcessId> WaitForProcesses(const Path& file, std::size_t count) {
    std::vector<ProcessId> found;
    WaitFor([&] {
      found = ProcessesOf(file);
      return found.size() == count;
    });
    return found;
  }

  // The report the stand-in writes once it is ready: "key=value" lines, "arg" repeated.
  struct Report {
    std::string cwd;
    std::string commandLine;
    std::vector<std::string> args;
  };
  // The report as soon as it can be read whole: under Wine the file can be seen a moment before
  // it can be opened, so a read that finds no "cmdline=" line is tried again.
  std::optional<Report> WaitForReport(const Path& file) {
    Report report;
    const bool read = WaitFor([&] {
      report = Report{};
      std::ifstream in(Fs(file), std::ios::binary);
      std::string line;
      bool whole = false;
      while (std::getline(in, line)) {
        if (line.rfind("cwd=", 0) == 0) report.cwd = line.substr(4);
        if (line.rfind("cmdline=", 0) == 0) report.commandLine = line.substr(8), whole = true;
        if (line.rfind("arg=", 0) == 0) report.args.push_back(line.substr(4));
      }
      return whole;
    });
    if (!read) return std::nullopt;
    return report;
  }

  TempDir temp_;
  std::unique_ptr<IProcessControl> control_ =
      CreateProcessControl({temp_.Dir() + u"out" + PathSeparator()});
  std::vector<Path> placed_;
  std::vector<ProcessId> byHand_;
};

}  // namespace tervane::testing
