// The ownership checks on Linux (trust_posix.cpp): whether they apply to this process, and the
// check of a path or of an open descriptor against TrustRefusal.
#pragma once

#include <string>

namespace tervane {

// Whether kesp takes only files that nobody but its user or root could write: it runs as root,
// or as another user than the owner of its program folder (or that folder is unknown). A user
// running a copy of their own is trusted with their own files, as before. Decided once.
bool TrustOnlyOwnFiles();

// The refusal for what is at path (links followed), or "" when it may be trusted, nothing is
// there, or the checks do not apply. A trailing '/' of a folder is left out of the message.
std::string UntrustedPath(std::string path);

// The refusal for the file open at fd (named path in the message), as UntrustedPath; checking
// what was opened leaves no moment in which the file could be swapped.
std::string UntrustedDescriptor(int fd, const std::string& path);

}  // namespace tervane
