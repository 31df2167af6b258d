// The Linux half of the HTTP client: the module kesp-webhook.so (libcurl's side), loaded on
// first use from beside the program, else from the folder the build names (TERVANE_MODULE_DIR).
#include <dlfcn.h>

#include <mutex>

#include "observe/http_client.h"
#include "core/server_list.h"
#include "observe/http_client_module.h"
#include "support/text.h"

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
    for (const std::string& folder : {Utf16ToUtf8(ProgramDir()), std::string(TERVANE_MODULE_DIR "/")}) {
      const std::string path = folder + kHttpClientModuleName;
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) {
        tried += (tried.empty() ? "" : "; ") + std::string(::dlerror());
        continue;
      }
      m.send = reinterpret_cast<TervaneSendHttpFunction>(::dlsym(handle, kHttpClientEntry));
      if (m.send) return m;
      tried += (tried.empty() ? "" : "; ") + path + " has no " + kHttpClientEntry;
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
