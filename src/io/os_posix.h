// POSIX details of the seam, visible to its tests.
#pragma once

#include "io/os.h"

namespace os::posix {

// The code for an errno value: the number a Windows build reports for the
// same failure, after its own mapping, so that codes and exit statuses
// agree across platforms. `writing` tells a write apart, where EIO is a
// write fault rather than a read fault.
Code code_for(int error, bool writing = false);

}  // namespace os::posix
