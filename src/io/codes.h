// Failure codes: the numbers a failed operation leaves pending, and how a
// code becomes an exit status.
#pragma once

#include <cstdint>

namespace io {

using Code = std::uint16_t;

inline constexpr Code read_failed = 100;     // a read that obtained no byte
inline constexpr Code console_failed = 101;  // a write to standard output that failed
inline constexpr Code write_fault = 160;     // a write that stored nothing (Windows 29, mapped)
inline constexpr Code general_failure = 162; // a failure the system gave no usable number for (Windows 31, mapped)

// Maps a Windows error number to its code: 19..31 become 150..162, the
// sharing violation 32 becomes access denied 5, the rest keep their low
// 16 bits. A number that would give 0 gives general_failure instead, so a
// failure is never taken for success.
Code from_windows_error(std::uint32_t error);

// The exit status for a code: its low 8 bits, or 255 when those are 0.
int exit_status(Code code);

}  // namespace io
