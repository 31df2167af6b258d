// Which files a kesp that runs as root (or for another user than the owner of its folder) may
// take: only those that nobody else could have written, as sshd asks of its keys.
#pragma once

#include <string>
#include <string_view>

namespace tervane {

// The permission bits that let the group or others write (a sticky 1777 folder among them).
inline constexpr unsigned kWritableByOthers = 0022;

// Why a file (or folder) at path owned by owner with the permission bits mode (the sticky bit
// included) may not be trusted by a program that runs as user: one line naming the file, its
// owner and mode, and the fix; empty when it belongs to user or root and neither its group nor
// others may write it.
std::string TrustRefusal(std::string_view path, unsigned user, unsigned owner, unsigned mode);

}  // namespace tervane
