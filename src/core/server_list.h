// ServerList and serverlist.dat: N records of 1770 bytes in list order, then the three
// boss-key option bytes; no header. The list is saved whole after every operator change
// and read once at start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/server.h"
#include "core/server_entry.h"
#include "support/file.h"
#include "support/message_texts.h"

namespace tervane {

struct BossKeyOptions {
  std::uint8_t BossKeyModifiers = 0;  // 1 Alt, 2 Ctrl, 4 Shift
  std::uint8_t BossKeyCode = 0;       // virtual-key code
  std::uint8_t BossKeyEnabled = 0;
};

// The file's bytes for a list and the option bytes.
std::vector<std::uint8_t> SerializeServerList(const ServerList& list, const BossKeyOptions& options);

// Writes the whole file; an empty path means ServerListPath(). A failure leaves the previous
// file whole, and error (when given) says why. beforeCommit is the test hook of
// ReplaceFileAtomically.
bool SaveServerList(const ServerList& list, const BossKeyOptions& options, const Path& path = {},
                    const std::function<bool()>& beforeCommit = {}, std::uint32_t* error = nullptr);

// A record that cannot be what the program writes: its number (from 1) and what is wrong.
struct DamagedRecord {
  std::size_t number = 0;
  std::u16string what;
};

// What loading the list file found.
struct ListLoadResult {
  // The file exists but could not be read whole: the system's error code. The list is then left
  // as it was, and the file must not be saved over.
  std::uint32_t error = 0;
  bool missing = false;           // no file: the list stays as it was
  std::uint64_t size = 0;         // of the file read
  bool strayBytes = false;        // more than the three option bytes follow the last whole record
  std::vector<DamagedRecord> damagedRecords;
  // The file's bytes as read, kept only while it is damaged: the copy kept aside is made of them.
  std::vector<std::uint8_t> damagedBytes;
  bool Damaged() const { return strayBytes || !damagedRecords.empty(); }
};

// The list file as read: its servers in file order and its option bytes.
struct LoadedList {
  ServerList servers;
  BossKeyOptions options;  // the bytes the file holds; the others as they were given
  ListLoadResult result;
};

// What in a record the program never writes, or empty: a text not ended within its field or
// with something after its end, Priority above 2, a flag other than 0 and 1, a live counter out
// of its range, reserved bytes that are not zero. The first such thing found.
std::u16string RecordDamage(const ServerEntry& record);

// Reads the list file (an empty path: ServerListPath()) once: N = size / 1770 rounded down,
// live fields reset, Priority clamped to 2, address and port recomputed from Params (the host's
// own address from localAddress, or GetLocalAddress), option bytes from what follows the last
// whole record (those the file lacks keep the values of `options`). A missing file, or one
// that cannot be read, gives no servers; the result says which.
LoadedList LoadServerList(const Path& path = {}, const std::function<std::string()>& localAddress = {},
                          const BossKeyOptions& options = {});

// The same from bytes already read. The records that cannot be what the program writes are
// reported as they were in the bytes, and loaded all the same.
LoadedList LoadServerListBytes(std::span<const std::uint8_t> bytes,
                               const std::function<std::string()>& localAddress = {},
                               const BossKeyOptions& options = {});

}  // namespace tervane
