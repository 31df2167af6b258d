// A TCP client for tests that must send what no HTTP client sends: malformed requests, headers
// past every limit, connections dropped half-way. Connects to 127.0.0.1 only.
#pragma once

#include <string>

namespace tervane::testing {

// Connects to 127.0.0.1:port, sends the bytes (as far as the server takes them), reads what
// comes back until the server closes or a second passes, and answers it ("" when nothing).
std::string RawExchange(int port, const std::string& bytes, bool readReply = true);

// A TCP port of 127.0.0.1 that nothing listens on just now.
int FreeTcpPort();

}  // namespace tervane::testing
