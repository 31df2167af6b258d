#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "process/params.h"

namespace tervane {

std::string GetLocalAddress() {
  std::string found = "127.0.0.1";  // a host without a network still reaches its own servers
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return found;
  if (hostent* host = gethostbyname("")) {
    if (host->h_addrtype == AF_INET && host->h_addr_list && host->h_addr_list[0]) {
      in_addr addr;
      std::memcpy(&addr, host->h_addr_list[0], sizeof addr);
      if (const char* text = inet_ntoa(addr)) found = text;
    }
  }
  WSACleanup();
  return found;
}

}  // namespace tervane
