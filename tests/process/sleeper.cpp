#include "sleeper.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

namespace tervane::sleeper {
namespace {

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--life" && hasValue) {
      options.lifeSeconds = std::atoi(argv[++i]);
    } else if (arg == "--threads" && hasValue) {
      options.threads = std::atoi(argv[++i]);
    } else if (arg == "--report" && hasValue) {
      options.report = argv[++i];
    } else if (arg == "--say" && hasValue) {
      options.say = argv[++i];
    } else if (arg == "--console") {
      options.console = true;
    } else if (arg == "--decoy") {
      options.decoy = true;
    } else if (arg == "--fatal") {
      options.fatal = true;
    } else if (arg == "--static" && hasValue) {
      options.statics.push_back(argv[++i]);
    } else if (arg == "--empty-static") {
      options.statics.emplace_back();
    } else if (arg == "--messagebox" && hasValue) {
      options.messageBox = argv[++i];
    } else if (arg == "--spew" && hasValue) {
      options.spewMBps = std::atoi(argv[++i]);
    } else if (arg == "--hang") {
      options.hang = true;
    } else if (arg == "--exec-on-usr1") {
      // Everything after it is the program to become and its arguments.
      for (++i; i < argc; ++i) options.execOnSignal.push_back(argv[i]);
    }
  }
  if (options.lifeSeconds <= 0 || options.lifeSeconds > 600) options.lifeSeconds = 120;
  if (options.threads < 0 || options.threads > 64) options.threads = 0;
  if (options.spewMBps < 0 || options.spewMBps > 2000) options.spewMBps = 0;
  return options;
}

// Lines in blocks of 64 KiB, made once, each block sent when the rate allows it.
void Spew(int megabytesPerSecond, Deadline deadline) {
  constexpr std::size_t kBlock = 64 * 1024;
  std::string block;
  for (int line = 0; block.size() < kBlock; ++line) block += "spew line " + std::to_string(line) + " of the stand-in\n";
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t written = 0; std::chrono::steady_clock::now() < deadline;) {
    std::fwrite(block.data(), 1, block.size(), stdout);
    std::fflush(stdout);
    written += block.size();
    std::this_thread::sleep_until(start + std::chrono::microseconds(written / static_cast<std::uint64_t>(megabytesPerSecond)));
  }
}

// Written under another name first and then renamed, so a reader never sees half of it.
void WriteReport(const Options& options, int argc, char** argv) {
  const std::filesystem::path target = options.report;
  const std::filesystem::path temp = options.report + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    const std::u8string cwd = std::filesystem::current_path().u8string();
    out << "cwd=" << std::string(cwd.begin(), cwd.end()) << "\n";
    out << "cmdline=" << RawCommandLine() << "\n";
    for (int i = 1; i < argc; ++i) out << "arg=" << argv[i] << "\n";
  }
  std::error_code ec;
  std::filesystem::rename(temp, target, ec);
}

}  // namespace
}  // namespace tervane::sleeper

int main(int argc, char** argv) {
  using namespace tervane::sleeper;
  const Options options = Parse(argc, argv);
  const Deadline deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.lifeSeconds);

  // Whatever else happens (a hung window, a modal box), the process ends at its deadline.
  std::thread([deadline] {
    std::this_thread::sleep_until(deadline);
    std::fflush(nullptr);
    std::_Exit(0);
  }).detach();

  for (int i = 0; i < options.threads; ++i) {
    std::thread([deadline] { std::this_thread::sleep_until(deadline); }).detach();
  }

  if (!options.say.empty()) {
    std::fprintf(stdout, "out:%s\n", options.say.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "err:%s\n", options.say.c_str());
    std::fflush(stderr);
  }

  Prepare(options);
  if (!options.report.empty()) WriteReport(options, argc, argv);
  if (options.spewMBps > 0) Spew(options.spewMBps, deadline);
  WaitUntil(options, deadline);
  std::fflush(nullptr);
  std::_Exit(0);
}
