// The rules every kesp.ini value is read by, whatever its section: how a value is quoted in a
// problem line, what a number is, and the lists and addresses built of numbers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane {

// A value or a name as a problem line shows it: in double quotes, its first 80 bytes (never
// half a character) and "..." when there is more, each control character (C0, DEL and C1) as
// '?' so that a log line or a terminal takes no command from a file. Other characters stay as
// written, so a server named in its own script can still be told apart.
std::string QuoteValue(std::string_view utf8);

// Decimal digits alone (no sign, no blank, at most nine of them) from low to high.
std::optional<int> ParseNumber(std::string_view text, int low, int high);

// "05:00,17:00": minutes after midnight, ascending, each once; none when any part is unusable
// or there are more than `most` parts.
std::optional<std::vector<int>> ParseTimesOfDay(std::string_view text, std::size_t most);
// "10,5,1": numbers from low to high, longest first, each once; none when any part is unusable
// or there are more than `most` parts.
std::optional<std::vector<int>> ParseNumberList(std::string_view text, std::size_t most, int low, int high);

}  // namespace tervane
