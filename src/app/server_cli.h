// Registering, listing and removing servers in serverlist.dat from the command line, with the
// checks of the server editor.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "process/process_control.h"
#include "support/file.h"

namespace tervane {

// Runs one command ("list", "add ...", "remove N") on the list file at path; answers the exit
// code. Messages go to out (results) and err (refusals).
int RunServerCommand(const std::vector<std::string>& args, const Path& path, IProcessControl& process,
                     int processorCount, std::ostream& out, std::ostream& err);

// The command line's help text.
std::string ServerCommandUsage();

}  // namespace tervane
