// The conversion run: a WBMP image (type 0) in, a screen image file out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imgstrip {

// Where each check sits, for the fatal report. `entry` is the point the run
// returns to in the process entry, the report's caller line.
enum Location : std::uint32_t {
    entry = 0x00401000,
    at_usage_line = 0x00401010,
    at_input_line = 0x00401020,
    at_size = 0x00401030,
    at_short_line = 0x00401040,
    at_output_line = 0x00401050,
    at_header_read_1 = 0x00401060,
    at_header_read_2 = 0x00401070,
    at_header_read_3 = 0x00401080,
    at_width_line_1 = 0x00401090,
    at_width_line_2 = 0x004010A0,
    at_width_write = 0x004010B0,
    at_end_test = 0x004010C0,
    at_copy_read = 0x004010D0,
    at_copy_write = 0x004010E0,
    at_input_close = 0x004010F0,
    at_output_close = 0x00401100,
    at_done_line = 0x00401110,
};

// Converts args[0] into args[1] and ends the process with the run's exit
// status; it never returns.
[[noreturn]] void run(const std::vector<std::string>& args);

// The process entry: prepares the process, takes the arguments, runs.
[[noreturn]] void start(int argc, char** argv);

}  // namespace imgstrip
