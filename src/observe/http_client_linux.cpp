// The Linux half of the HTTP client: the module kesp-webhook.so (libcurl's side), loaded on
// first use from beside the program, else from the folder the build names (TERVANE_MODULE_DIR).
// A kesp that trusts only its own files (root's) loads it only from a folder and a file that
// nobody else could write; an unknown program folder is skipped, never taken as "./".
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#include "observe/http_client.h"
#include "core/server_list.h"
#include "observe/http_client_module.h"
#include "support/text.h"
#include "support/trust_posix.h"
#include "support/unique_handle_posix.h"

namespace tervane {
namespace {

struct Module {
  TervaneSendHttpFunction send = nullptr;
  std::string why;
};

const Module& Loaded() {
  static const Module module = [] {
    Module m;
    std::string tried;
    const auto note = [&tried](const std::string& why) { tried += (tried.empty() ? "" : "; ") + why; };
    for (const std::string& folder : {Utf16ToUtf8(ProgramDir()), std::string(TERVANE_MODULE_DIR "/")}) {
      if (folder.empty()) {
        note("the program's folder is unknown");
        continue;
      }
      const std::string path = folder + kHttpClientModuleName;
      // The file is examined as opened and held open until loaded; the folder, trusted, lets
      // nobody else put another in its place meanwhile.
      const UniqueFd opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      std::string refusal = UntrustedPath(folder);
      if (refusal.empty() && opened) refusal = UntrustedDescriptor(opened.get(), path);
      if (!refusal.empty()) {
        note(refusal);
        continue;
      }
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) {
        note(::dlerror());
        continue;
      }
      m.send = reinterpret_cast<TervaneSendHttpFunction>(::dlsym(handle, kHttpClientEntry));
      if (m.send) return m;
      note(path + " has no " + kHttpClientEntry);
    }
    m.why = "the webhook module could not be loaded (" + tried + ")";
    return m;
  }();
  return module;
}

}  // namespace

bool HttpClientReady(std::string& why) {
  why = Loaded().why;
  return Loaded().send != nullptr;
}

HttpCallResult SendHttp(const HttpCall& call) {
  HttpCallResult result;
  if (!Loaded().send) {
    result.error = Loaded().why;
    return result;
  }
  Loaded().send(&call, &result);
  return result;
}

}  // namespace tervane
