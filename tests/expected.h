// What the program is expected to say and write, for tests to compare
// against: its message lines, the fatal report, the exit status of a code,
// and WBMP fixtures with the screen images made from them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "imgstrip.h"

namespace expected {

using Bytes = std::vector<unsigned char>;

inline const std::string usage = "Usage: imgstrip input.wbmp output.scrn\r\n";
inline const std::string too_short = "Input file is too short!\r\n";
inline const std::string wrong_width =
    "Wrong x size!\r\nThis must be multiple of 8 (8,16,24,...) and no more than 240 pixels\r\n";
inline const std::string done = "Done...\r\n";

// The fatal report for code, found by the check at `where`.
inline std::string report(unsigned code, std::uint32_t where)
{
    char text[128];
    std::snprintf(text, sizeof text, "Runtime error %u at 0x%08X\r\n  0x%08X\r\n  0x%08X\r\n\r\n", code, where,
                  where, static_cast<unsigned>(imgstrip::entry));
    return text;
}

// The exit status for a code: its low 8 bits, or 255 when those are 0.
inline int status_for(unsigned code)
{
    const unsigned low = code & 0xFFU;
    return low != 0 ? static_cast<int>(low) : 255;
}

// A type 0 WBMP image narrower than 128 pixels: header, then rows of width/8 bytes.
inline Bytes wbmp(int width, int rows)
{
    Bytes image = {0, 0, static_cast<unsigned char>(width), static_cast<unsigned char>(rows)};
    for (int i = 0; i < width / 8 * rows; ++i) image.push_back(static_cast<unsigned char>(i * 37 + 11));
    return image;
}

// What a conversion of input writes: all but its first two bytes.
inline Bytes tail(const Bytes& input) { return Bytes(input.begin() + 2, input.end()); }

}  // namespace expected
