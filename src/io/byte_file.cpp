#include "io/byte_file.h"

#include <algorithm>

namespace io {
namespace {

Code g_pending = 0;
ByteFile* g_open = nullptr;  // every open file, for flush_after_failure()

void enlist(ByteFile& file)
{
    file.next_open = g_open;
    g_open = &file;
}

void unlist(ByteFile& file)
{
    for (ByteFile** link = &g_open; *link != nullptr; link = &(*link)->next_open) {
        if (*link == &file) {
            *link = file.next_open;
            break;
        }
    }
    file.next_open = nullptr;
}

// Hands bytes to the system, continuing short writes. A write that stores
// nothing of a non-zero count would never finish: that is a write fault.
Code hand_over(os::Handle handle, const unsigned char* data, std::size_t count)
{
    while (count > 0) {
        std::size_t done = 0;
        if (const Code code = os::write(handle, data, count, done)) return code;
        if (done == 0) return write_fault;
        data += done;
        count -= done;
    }
    return 0;
}

// The waiting bytes are dropped whether or not they could be handed over:
// a failed write is never tried again.
Code flush(ByteFile& file)
{
    const std::size_t count = file.waiting;
    file.waiting = 0;
    return hand_over(file.handle, file.buffer, count);
}

bool flushed(ByteFile& file)
{
    if (const Code code = flush(file)) {
        fail(code);
        return false;
    }
    return true;
}

// Bytes read ahead are given back before a write, so that the system's
// position is the file's position again.
bool ready_to_write(ByteFile& file)
{
    if (file.head < file.tail) {
        if (const Code code = os::seek(file.handle, file.position)) {
            fail(code);
            return false;
        }
    }
    file.head = file.tail = 0;
    return true;
}

// Makes at least one byte available at buffer[head]; 100 if none comes.
bool filled(ByteFile& file)
{
    if (file.head < file.tail) return true;
    if (!flushed(file)) return false;
    std::size_t done = 0;
    file.head = file.tail = 0;
    if (os::read(file.handle, file.buffer, sizeof file.buffer, done) != 0 || done == 0) {
        fail(read_failed);
        return false;
    }
    file.tail = done;
    return true;
}

void open_as(ByteFile& file, os::Disposition how)
{
    if (g_pending) return;
    close(file);
    if (g_pending) return;
    file.position = 0;
    if (const Code code = os::open(file.name, how, file.handle)) {
        fail(code);
        return;
    }
    file.open = true;
    enlist(file);
}

}  // namespace

Code pending() { return g_pending; }

Code take_code()
{
    const Code code = g_pending;
    g_pending = 0;
    return code;
}

void fail(Code code)
{
    if (g_pending == 0) g_pending = code;
}

void bind(ByteFile& file, std::string_view path)
{
    unlist(file);
    file.handle = os::no_handle;
    file.open = false;
    file.name.assign(path);
    file.position = 0;
    file.head = file.tail = file.waiting = 0;
}

void open_existing(ByteFile& file) { open_as(file, os::Disposition::open_existing); }
void create(ByteFile& file) { open_as(file, os::Disposition::create_always); }

std::int64_t size(ByteFile& file)
{
    if (g_pending || !flushed(file)) return 0;
    std::int64_t length = 0;
    if (const Code code = os::size(file.handle, length)) {
        fail(code);
        return 0;
    }
    return length;
}

bool at_end(ByteFile& file)
{
    if (g_pending || file.head < file.tail) return false;
    const std::int64_t length = size(file);
    return g_pending == 0 && file.position >= length;
}

void read(ByteFile& file, unsigned char& target)
{
    if (g_pending || !filled(file)) return;
    target = file.buffer[file.head++];
    ++file.position;
}

std::span<const unsigned char> read_run(ByteFile& file)
{
    if (g_pending || !filled(file)) return {};
    const std::span<const unsigned char> run(file.buffer + file.head, file.tail - file.head);
    file.head = file.tail;
    file.position += static_cast<std::int64_t>(run.size());
    return run;
}

void write(ByteFile& file, unsigned char byte)
{
    if (g_pending || !ready_to_write(file)) return;
    if (file.waiting == sizeof file.buffer && !flushed(file)) return;
    file.buffer[file.waiting++] = byte;
    ++file.position;
}

void write_run(ByteFile& file, std::span<const unsigned char> bytes)
{
    if (g_pending || !ready_to_write(file)) return;
    file.position += static_cast<std::int64_t>(bytes.size());
    // A run that fits after the waiting bytes goes over with them in one write.
    if (file.waiting != 0 && file.waiting + bytes.size() <= sizeof file.buffer) {
        std::ranges::copy(bytes, file.buffer + file.waiting);
        file.waiting += bytes.size();
        bytes = {};
    }
    if (!flushed(file)) return;
    if (const Code code = hand_over(file.handle, bytes.data(), bytes.size())) fail(code);
}

void close(ByteFile& file)
{
    if (g_pending || !file.open || !flushed(file)) return;
    unlist(file);
    file.open = false;
    file.head = file.tail = 0;
    const os::Handle handle = file.handle;
    file.handle = os::no_handle;
    if (const Code code = os::close(handle)) fail(code);
}

void flush_after_failure()
{
    for (ByteFile* file = g_open; file != nullptr; file = file->next_open) (void)flush(*file);
}

void reset_files()
{
    g_pending = 0;
    while (g_open != nullptr) unlist(*g_open);
}

}  // namespace io
