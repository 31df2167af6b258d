// A module an ordinary user plants as kesp-webhook.so beside a root kesp: were it ever loaded,
// it would leave the file named by TERVANE_PLANTED_MARK.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

__attribute__((constructor)) static void LeaveMark() {
  if (const char* mark = std::getenv("TERVANE_PLANTED_MARK")) {
    const int fd = ::open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
}
