// Reading a server's query address and port out of its run parameters, with the keys the
// game server itself reads ("+ip ", "-port ", "+port "), and composing its command line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tervane {

inline constexpr std::int32_t kDefaultServerPort = 27015;

// The query port: 27015 when the parameters name none, 0 when the named value is no number.
std::int32_t GetServerPort(std::u16string_view params);

// The query address (8-bit text, at most 15 bytes); the host's own address when the
// parameters name none or name 0.0.0.0.
std::string GetServerAddress(std::u16string_view params);
std::string GetServerAddress(std::u16string_view params,
                             const std::function<std::string()>& localAddress);

// The host's first IPv4 address in dotted form; "127.0.0.1" when the host has none.
std::string GetLocalAddress();

// The quoted executable path, one blank, and the parameters unchanged.
std::u16string BuildCommandLine(std::u16string_view fileName, std::u16string_view params);

}  // namespace tervane
