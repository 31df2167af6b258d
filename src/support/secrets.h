// Secrets kept out of every text that leaves the program: an RCON password in run parameters,
// in a command line or in a log line.
#pragma once

#include <string>
#include <string_view>

namespace tervane {

// The text with the value of each RCON password key replaced by "***". A key is
// "rcon_password" (any letter case) at the start of a word or after '+' or '-' ("+rcon_password"
// as the engines take it; "-rcon_password", which no engine reads, still carries a secret),
// followed by a blank. Its value runs from the next word up to the next word that starts with
// '+' or '-' (where the engine's next command or switch begins) or the end; double quotes group
// blanks, and a quote left open runs to the end. Everything else stays as it was.
std::u16string MaskSecrets(std::u16string_view text);

}  // namespace tervane
