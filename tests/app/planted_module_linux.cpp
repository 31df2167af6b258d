// A module an ordinary user plants as kesp-webhook.so beside a root kesp: loaded, it would
// leave the file TERVANE_PLANTED_MARK names.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

__attribute__((constructor)) static void LeaveMark() {
  if (const char* mark = std::getenv("TERVANE_PLANTED_MARK"))
    ::close(::open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
}
