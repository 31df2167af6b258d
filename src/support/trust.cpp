#include "support/trust.h"

#include <cstdio>

namespace tervane {

std::string TrustRefusal(std::string_view path, unsigned user, unsigned owner, unsigned mode) {
  const bool ownerOk = owner == 0 || owner == user;
  const bool modeOk = (mode & kWritableByOthers) == 0;
  if (ownerOk && modeOk) return {};
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", mode & 07777u);
  const std::string file(path);
  const std::string who = user == 0 ? "root" : "uid " + std::to_string(user) + " or root";
  std::string fix;
  if (!ownerOk) fix = "chown " + std::string(user == 0 ? "root" : std::to_string(user)) + " " + file;
  if (!modeOk) fix += (fix.empty() ? "" : "; ") + std::string("chmod go-w ") + file;
  return "refusing " + file + ": owned by uid " + std::to_string(owner) + ", mode " + octal + "; it must belong to " +
         who + " and not be writable by group or others (" + fix + ")";
}

}  // namespace tervane
