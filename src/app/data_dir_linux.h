// Where the Linux kesp keeps its files (serverlist.dat, kesp.lock, kesp.sock, logs/, kesp.ini):
// the folder "--dir DIR" or TERVANE_DIR names; otherwise the program's own folder, as a copy of
// kesp in a folder of its own wants it; but a kesp that lies in a system folder (/usr/bin,
// /usr/local/bin, ...) or in a folder it may not write keeps them where Linux keeps state:
// $XDG_STATE_HOME/tervane (~/.local/state/tervane) for a user, /var/lib/tervane for root.
#pragma once

#include <string>
#include <vector>

namespace tervane {

// What the choice depends on, gathered from the process by DataDirInputsOfThisProcess.
struct DataDirInputs {
  std::string dirOption;     // --dir, made absolute; empty: none
  std::string environment;   // TERVANE_DIR, made absolute; empty: none
  std::string programDir;    // the program's folder, with its trailing '/'
  bool programDirWritable = true;
  bool root = false;         // the effective user is root
  std::string xdgStateHome;  // $XDG_STATE_HOME as given
  std::string home;          // $HOME, or the user's home folder from the password database
};

// The chosen folder with its trailing '/', or an empty folder and why in error.
struct DataDirChoice {
  std::string folder;
  std::string error;
};

DataDirChoice ChooseDataDir(const DataDirInputs& inputs);

// The inputs of this process: the option, the environment, the program's folder, the user.
DataDirInputs DataDirInputsOfThisProcess(const std::string& dirOption);

// Creates the folder, owner-only (0700), with every missing parent; an existing folder is left
// as it is. Answers "" or why it cannot be used.
std::string PrepareDataDir(const std::string& folder);

// When kesp trusts only its own files (TrustOnlyOwnFiles: it runs as root, or for another user
// than the owner of its folder): the first of the program folder, the data folder, kesp.ini,
// serverlist.dat, kesp.lock and the webhook module beside the program that another user could
// have written, as the line that refuses it; "" when none (a missing file is no refusal).
std::string UntrustedFileOfKesp(const std::string& programDir, const std::string& dataDir);

}  // namespace tervane
