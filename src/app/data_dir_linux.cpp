#include "app/data_dir_linux.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "core/server_list.h"
#include "observe/http_client_module.h"
#include "support/text.h"
#include "support/trust_posix.h"

namespace tervane {

namespace {

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  return folder;
}

std::string Absolute(const std::string& folder) {
  if (folder.empty()) return folder;
  std::error_code ec;
  const auto full = std::filesystem::absolute(std::filesystem::path(folder), ec);
  return ec ? folder : full.lexically_normal().string();
}

std::string ErrnoText() { return Utf16ToUtf8(SystemErrorText(static_cast<std::uint32_t>(errno))); }

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  const passwd* user = ::getpwuid(::geteuid());
  return user && user->pw_dir ? user->pw_dir : "";
}

// Whether kesp lying in this folder (with or without its trailing '/') is a system's program.
bool IsSystemProgramDir(std::string_view folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  for (std::string_view system : {"/usr/bin", "/usr/local/bin", "/usr/sbin", "/usr/local/sbin", "/bin", "/sbin"})
    if (folder == system) return true;
  return false;
}

}  // namespace

DataDirChoice ChooseDataDir(const DataDirInputs& in) {
  if (!in.dirOption.empty()) return {WithSlash(in.dirOption), {}};
  if (!in.environment.empty()) return {WithSlash(in.environment), {}};
  if (in.programDirWritable && !IsSystemProgramDir(in.programDir)) return {WithSlash(in.programDir), {}};
  if (in.root) return {"/var/lib/tervane/", {}};
  // XDG: a relative $XDG_STATE_HOME is invalid and ignored.
  if (!in.xdgStateHome.empty() && in.xdgStateHome.front() == '/') return {WithSlash(in.xdgStateHome) + "tervane/", {}};
  if (!in.home.empty()) return {WithSlash(in.home) + ".local/state/tervane/", {}};
  return {{}, "no folder for kesp's files: " + in.programDir +
                  " is a system folder or not writable, and neither XDG_STATE_HOME nor HOME is set; give one "
                  "with --dir DIR or TERVANE_DIR"};
}

DataDirInputs DataDirInputsOfThisProcess(const std::string& dirOption) {
  DataDirInputs in;
  in.dirOption = Absolute(dirOption);
  if (const char* env = std::getenv("TERVANE_DIR")) in.environment = Absolute(env);
  in.programDir = Utf16ToUtf8(ProgramDir());
  in.programDirWritable = ::faccessat(AT_FDCWD, in.programDir.c_str(), W_OK, AT_EACCESS) == 0;
  in.root = ::geteuid() == 0;
  if (const char* state = std::getenv("XDG_STATE_HOME")) in.xdgStateHome = state;
  in.home = HomeFolder();
  return in;
}

std::string PrepareDataDir(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    const std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      return "cannot create the data folder " + folder + ": " + ErrnoText();
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "cannot use the data folder " + folder + ": " + ErrnoText();
  if (!S_ISDIR(st.st_mode)) return "the data folder " + folder + " is not a folder";
  return {};
}

std::string UntrustedFileOfKesp(const std::string& programDir, const std::string& dataDir) {
  std::vector<std::string> paths;
  // An unknown program folder gives nothing: no module is loaded from it.
  if (!programDir.empty()) paths = {programDir, WithSlash(programDir) + kHttpClientModuleName};
  for (const char* name : {"", "kesp.ini", "serverlist.dat", "kesp.lock"}) paths.push_back(WithSlash(dataDir) + name);
  for (const std::string& path : paths)
    if (std::string why = UntrustedPath(path); !why.empty()) return why;
  return {};
}

}  // namespace tervane
