// kestro-info: what Kestro knows about a file, and whether a delta would
// apply.
//
//   kestro-info FILE           for a delta file, its header and descriptor
//                              fields and one line per block (DescribeDelta);
//                              for an executable or library, the key=value
//                              lines of its version information (none when
//                              it has none)
//   kestro-info --check DELTA  everything an apply checks, changing no file
//                              (CheckDelta): the line the apply would print,
//                              then "Blocks verified: <n>"
//
// Both read only a regular file: anything else is refused unopened.
//
// Every line goes to the console with CR LF, its control characters written
// as \xNN, so that no name or string taken from a file can make a line of
// its own.
#pragma once

#include "platform/Console.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// Runs kestro-info on its arguments (those after the program's own name)
// and returns the exit status: 0, or 1 for a wrong argument count, a file
// that cannot be read or is not a regular file, a damaged delta, or a delta
// that would not apply.
int RunInfo(std::string_view programPath, const std::vector<std::string>& arguments,
            const Console& console);

// text with every byte below 0x20 and 0x7F written as \xNN.
std::string EscapeControls(std::string_view text);

} // namespace kestro
