// ovpack, the authoring tool's command line: builds a launcher with a payload,
// lists a payload and extracts it with the launcher's own reader.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace ov::pack {

// Exit codes of ovpack.
inline constexpr int exit_ok = 0;
inline constexpr int exit_failed = 1; // bad input or a file that cannot be read or written
inline constexpr int exit_usage = 2;  // the command line itself is wrong

// Runs one command; `args` are UTF-8 and exclude the program name. Results go
// to `out`, messages to `err`. Answers the exit code.
[[nodiscard]] int run_ovpack(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

[[nodiscard]] const char* ovpack_usage() noexcept;

} // namespace ov::pack
