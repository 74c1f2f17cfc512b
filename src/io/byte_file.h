// Checked byte files: files handled as a sequence of one-byte records.
//
// No operation returns an error. The first failure leaves its code pending,
// process-wide; while a code is pending every operation except bind() and
// take_code() does nothing at all (no system call, the code unchanged) and
// yields 0, false or nothing.
//
// Reads and writes go through a buffer, but each operation keeps the meaning
// of a one-byte transfer at the current position: a read consumes the next
// byte, a write puts one at the position, and every failure surfaces in the
// operation whose byte it concerns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "io/codes.h"
#include "io/os.h"

namespace io {

// The pending code, left where it is.
Code pending();
// Returns the pending code and clears it.
Code take_code();
// Leaves code pending unless one already is: the first failure counts.
void fail(Code code);

inline constexpr std::size_t buffer_size = std::size_t{256} * 1024;

struct ByteFile {
    os::Handle handle = os::no_handle;
    bool open = false;
    std::string name;
    std::int64_t position = 0;   // offset of the next byte read or written
    std::size_t head = 0;        // buffer[head, tail) was read ahead from `position` on
    std::size_t tail = 0;
    std::size_t waiting = 0;     // buffer[0, waiting) was written, not yet handed over
    ByteFile* next_open = nullptr;
    unsigned char buffer[buffer_size];
};

// Clears the record and names the file; done even while a code is pending.
void bind(ByteFile& file, std::string_view path);

// Open the bound name for reading and writing, held exclusively; on failure
// the system's code is left pending (see os.h).
void open_existing(ByteFile& file);
void create(ByteFile& file);

// The current length in bytes.
std::int64_t size(ByteFile& file);

// True when the position is at or past the current length. Makes no system
// call while read-ahead bytes are buffered.
bool at_end(ByteFile& file);

// Reads the next byte into target; 100 when no byte is obtained (target unchanged).
void read(ByteFile& file, unsigned char& target);

// Reads the next bytes, at least one and as many as are buffered (refilling
// the buffer if it is empty); 100 and an empty run when no byte is obtained.
// The run stays valid until the next operation on the file.
std::span<const unsigned char> read_run(ByteFile& file);

// Writes one byte at the position; it may wait in the buffer.
void write(ByteFile& file, unsigned char byte);

// Writes the bytes at the position and hands them, with any that were
// waiting, to the system before returning.
void write_run(ByteFile& file, std::span<const unsigned char> bytes);

// Hands over what is waiting and releases the file. A failure to write the
// waiting bytes or a failing close leaves its code pending.
void close(ByteFile& file);

// For the fatal report: hands every open file's waiting bytes to the system,
// once, keeping no code from it. Called with no code pending.
void flush_after_failure();

// Forgets all state: no code pending, no file open. For in-process runs.
void reset_files();

}  // namespace io
