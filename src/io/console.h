// Console lines on standard output, the check of the pending code, and the
// fatal I/O report. Standard output is the only stream written.
#pragma once

#include <cstdint>
#include <string_view>

#include "io/codes.h"

namespace io {

using Location = std::uint32_t;

// Appends text to the current line; a full buffer is written out first, so
// text of any length is taken. Does nothing while a code is pending.
void write_text(std::string_view text);

// Ends the line with 13 10 and writes the whole line to standard output at
// once. A failed write, or one that stores nothing, leaves 101 pending.
void end_line();

// Returns if no code is pending. Otherwise takes the code, hands over what
// the open files still have waiting, writes the fatal I/O report for the
// check at `where`, called from `caller`, and ends the process with the
// code's exit status.
void check(Location where, Location caller);

// Ends the process with the status.
[[noreturn]] void exit(int status);

// Forgets buffered console text. For in-process runs.
void reset_console();

}  // namespace io
