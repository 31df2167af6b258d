// ServerList and serverlist.dat: N records of 1770 bytes in list order, then the three
// boss-key option bytes; no header. The list is saved whole after every operator change
// and read once at start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/graceful_stop.h"
#include "core/list_view.h"
#include "core/planned_restarts.h"
#include "core/server_entry.h"
#include "core/server_status.h"
#include "support/file.h"
#include "support/message_texts.h"

namespace tervane {

// A server's identity in the running program: given when the server is made (loaded, added),
// kept through moves, never given again in the same run; 0 names no server. Not part of the file:
// the doors name a server by it across a wait (a confirmation, a hop to the loop's thread).
using ServerId = std::uint64_t;
// A new identity (any thread). The first of a run comes from the clock, so that a kesp started
// again does not give the numbers of the one before to other servers.
ServerId NewServerId();

// A server: its record (what serverlist.dat holds) with its live status beside it, allocated
// as one so that whatever moves the record moves the status with it.
struct Server : ServerEntry {
  Server() : ServerEntry(NewServerEntry()) {}
  explicit Server(const ServerEntry& record) : ServerEntry(record) {}

  ServerStatus Status;
  ServerId Id = NewServerId();
  // The row's texts as last rendered, so that a change writes only the cells it changes.
  RowTexts Shown;
  RowInputs ShownFrom;
  // The record's address as last queried and the number it reads as (valid: the text is one a
  // query can go to), so that the cycle sends and matches replies without reading the text
  // again while it stays the same.
  Text8<16> QueriedText{};
  std::uint32_t QueriedAddress = 0;
  bool QueriedValid = false;
  // kesp.ini's planned restarts of this server with their settings, made when the sections are
  // read or a one-off restart is planned (none otherwise); its graceful stop while one is under
  // way; the last RCON failure said, so that the same one is said once.
  std::optional<RestartPlan> Plan;
  GracefulStop Stop;
  std::string RconTrouble;
  // The RCON requests' tie to the server's current process: made when first asked for, set and
  // dropped when that process ends, is ended, is found gone or another starts (Servers does).
  RconWithdrawal RconFor;

  const ServerEntry& Record() const { return *this; }
  // A paused server shows as paused whatever it was doing before.
  ProcessState ProcessStatus() const { return Paused ? ProcessState::Paused : Status.process; }
  NetworkState NetworkStatus() const { return Paused ? NetworkState::Paused : Status.network; }
};

// Position i is row i of the list view and record i of the file; each server is allocated
// on its own so that moving a server moves its record, live state and all.
using ServerList = std::vector<std::unique_ptr<Server>>;

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
