// The operating-system seam: the few services that checked byte files and
// console lines need, offered as operations rather than one wrapper per
// system call. The build picks one implementation (os_posix.cpp or
// os_win32.cpp); the tests link a fault-injecting stand-in instead.
//
// Every function that can fail returns 0 on success or the failure code,
// already mapped to its final, platform-independent value (never 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace os {

using Code = std::uint16_t;
using Handle = std::intptr_t;
inline constexpr Handle no_handle = -1;

enum class Disposition {
    open_existing,  // the file must exist
    create_always,  // made if missing, an existing one is cut to length 0
};

// Makes the process ready for a run (standard output usable, standard
// descriptors never reused for files) and returns the arguments after the
// program's name.
std::vector<std::string> start(int argc, char** argv);

// Opens path for reading and writing, held against any other open of the
// same file while the handle lives. Sets handle only on success.
Code open(const std::string& path, Disposition how, Handle& handle);

// The file's current length in bytes.
Code size(Handle handle, std::int64_t& size);

// Moves the position that the next read or write starts at.
Code seek(Handle handle, std::int64_t position);

// One transfer of at most count bytes; done tells how many moved. A read
// with done == 0 is the end of the file. Interrupted calls are retried here;
// a short transfer is not an error and is left to the caller to continue.
Code read(Handle handle, unsigned char* data, std::size_t count, std::size_t& done);
Code write(Handle handle, const unsigned char* data, std::size_t count, std::size_t& done);

// Releases the handle; a character device (a console) is left open.
Code close(Handle handle);

// One write to standard output, as write() above.
Code console_write(const unsigned char* data, std::size_t count, std::size_t& done);

// Ends the process with the status (0 to 255).
[[noreturn]] void exit(int status);

}  // namespace os
