#include "io/codes.h"

namespace io {

Code from_windows_error(std::uint32_t error)
{
    if (error >= 19 && error <= 31) return static_cast<Code>(error + 131);
    if (error == 32) return 5;
    const auto code = static_cast<Code>(error);
    return code != 0 ? code : general_failure;
}

int exit_status(Code code)
{
    const int low = code & 0xFF;
    return low != 0 ? low : 255;
}

}  // namespace io
