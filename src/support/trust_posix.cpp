#include "support/trust_posix.h"

#include <sys/stat.h>
#include <unistd.h>

#include "support/file.h"
#include "support/text.h"
#include "support/trust.h"

namespace tervane {

bool TrustOnlyOwnFiles() {
  static const bool strict = [] {
    const uid_t user = ::geteuid();
    if (user == 0) return true;
    const std::string folder = Utf16ToUtf8(ProgramDir());
    struct stat st {};
    return folder.empty() || ::stat(folder.c_str(), &st) != 0 || st.st_uid != user;
  }();
  return strict;
}

std::string UntrustedPath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st {};
  if (!TrustOnlyOwnFiles() || ::stat(path.c_str(), &st) != 0) return {};
  return TrustRefusal(path, ::geteuid(), st.st_uid, st.st_mode & 07777u);
}

std::string UntrustedDescriptor(int fd, const std::string& path) {
  struct stat st {};
  if (!TrustOnlyOwnFiles()) return {};
  if (::fstat(fd, &st) != 0) return "refusing " + path + ": it cannot be examined";
  return TrustRefusal(path, ::geteuid(), st.st_uid, st.st_mode & 07777u);
}

}  // namespace tervane
