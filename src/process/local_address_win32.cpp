#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "process/params.h"
#include "support/unique_handle_win32.h"

namespace tervane {

std::string GetLocalAddress() {
  std::string found = "127.0.0.1";  // a host without a network still reaches its own servers
  const WinsockSession winsock(MAKEWORD(1, 1));
  if (!winsock.Started()) return found;
  if (hostent* host = gethostbyname("")) {
    if (host->h_addrtype == AF_INET && host->h_addr_list && host->h_addr_list[0]) {
      in_addr addr;
      std::memcpy(&addr, host->h_addr_list[0], sizeof addr);
      if (const char* text = inet_ntoa(addr)) found = text;
    }
  }
  return found;
}

}  // namespace tervane
