// The output files of the servers, kept within their cap by a thread of its own: a server may
// write as fast as it likes (it writes to its own descriptor, opened to append, and outlives the
// monitor), and neither the disk nor the supervision's pace suffers for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tervane {

// Brings one output file within limit when it is past it: its newest part (all of it while it
// is under twice the limit, else its newest limit bytes) is copied to "<file>.1", replacing the
// one before, and is then taken off the file's head, in place where the file system can (what
// the server writes meanwhile stays), else by emptying the file (what it wrote since the copy
// is lost). Answers whether it did.
bool CapOutputFile(const std::string& path, std::uint64_t limit);

class OutputCap {
 public:
  // Every file kept is looked at once each period (a stat), and again at once after a pass that
  // had a file to bring within the cap; a limit of 0 keeps nothing.
  explicit OutputCap(std::uint64_t limit, std::chrono::milliseconds period = std::chrono::milliseconds(10));
  ~OutputCap();
  OutputCap(const OutputCap&) = delete;
  OutputCap& operator=(const OutputCap&) = delete;

  // Keeps the file within the cap from now on; cheap when it is kept already.
  void Keep(const std::string& path);
  // Forgets the files that were not kept again since the last sweep.
  void Sweep();
  // Caps the file now, on the caller's thread (before a server starts on it), never at the same
  // time as the thread caps it.
  void CapNow(const std::string& path);

 private:
  void Run();

  const std::uint64_t limit_;
  const std::chrono::milliseconds period_;
  std::mutex mutex_;  // guards what follows, never held while a file is worked on
  std::condition_variable wake_;
  struct Kept {
    std::string path;
    bool keptSinceSweep = true;
  };
  std::vector<Kept> files_;
  std::uint64_t generation_ = 0;  // changes with files_
  bool stop_ = false;
  std::mutex capping_;  // one cap at a time
  std::thread thread_;  // started with the first file kept
};

}  // namespace tervane
