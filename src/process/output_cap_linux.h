// The output files of the servers, kept within their cap by a thread of its own: a server may
// write as fast as it likes (it writes to its own descriptor, opened to append, and outlives the
// monitor), and neither the disk nor the supervision's pace suffers for it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace tervane {

// Brings one output file within limit when it is past it: its newest part (all of it while it
// is under twice the limit, else its newest limit bytes) is copied to "<file>.1", replacing the
// one before, and is then taken off the file's head, in place where the file system can (what
// the server writes meanwhile stays), else by emptying the file (what it wrote since the copy
// is lost). Answers whether it did.
bool CapOutputFile(const std::string& path, std::uint64_t limit);

class OutputCap {
 public:
  // The thread learns of a kept file's growth from the kernel (inotify, a change of content),
  // and looks at its size only then: while no server writes, it sleeps without a timeout. A
  // limit of 0 keeps nothing.
  explicit OutputCap(std::uint64_t limit);
  ~OutputCap();
  OutputCap(const OutputCap&) = delete;
  OutputCap& operator=(const OutputCap&) = delete;

  // Keeps the file within the cap from now on; cheap when it is kept already. A file that could
  // not be watched (not there yet, or replaced) is watched again at its next Keep. One kept
  // already past its cap is cut at the next sweep at the latest.
  void Keep(const std::string& path);
  // Forgets the files that were not kept again since the last sweep; wakes the thread once for
  // the files kept since.
  void Sweep();
  // Caps the file now, on the caller's thread (before a server starts on it), never at the same
  // time as the thread caps it.
  void CapNow(const std::string& path);

 private:
  void Run();
  // Wakes the thread (the event descriptor).
  void Wake();

  const std::uint64_t limit_;
  std::mutex mutex_;  // guards what follows, never held while a file is worked on
  struct Kept {
    int watch = -1;        // the inotify watch, -1 while there is none
    bool polled = false;   // no watch could be had: looked at once each period
    bool rewatch = false;  // watched again at the next Keep
    bool keptSinceSweep = true;
    bool due = true;  // to be looked at by the thread: newly watched, or grown
  };
  std::unordered_map<std::string, Kept> files_;  // by path: a Keep each cycle for every server costs no search
  bool stop_ = false;
  bool wakeAtSweep_ = false;  // a file was kept since the last sweep
  int inotify_ = -1;  // owned; -1 when the system refused one
  int wake_ = -1;     // owned: an eventfd
  std::mutex capping_;  // one cap at a time
  std::thread thread_;  // started with the first file kept
};

}  // namespace tervane
