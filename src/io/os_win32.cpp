// The seam on Windows: the kernel32 file functions, opened without sharing.
#include <windows.h>

#include <algorithm>

#include "command_line.h"
#include "io/codes.h"
#include "io/os.h"

namespace os {
namespace {

HANDLE g_stdout = INVALID_HANDLE_VALUE;

HANDLE handle_of(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

bool valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

Code last_code() { return io::from_windows_error(GetLastError()); }

// INVALID_SET_FILE_POINTER is also the low word of a legitimate position
// (4 GiB - 1, 8 GiB - 1, ...), so only a last error set by the call itself
// tells a failure.
Code move(HANDLE file, std::int64_t distance, DWORD method, std::int64_t& reached)
{
    LONG high = static_cast<LONG>(distance >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(file, static_cast<LONG>(static_cast<DWORD>(distance)), &high, method);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return last_code();
    reached = static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32) | low);
    return 0;
}

DWORD chunk(std::size_t count) { return static_cast<DWORD>(std::min<std::size_t>(count, MAXDWORD)); }

}  // namespace

std::vector<std::string> start(int, char**)
{
    g_stdout = GetStdHandle(STD_OUTPUT_HANDLE);
    std::vector<std::string> args = imgstrip::split_command_line(GetCommandLineA());
    if (!args.empty()) args.erase(args.begin());
    return args;
}

Code open(const std::string& path, Disposition how, Handle& handle)
{
    std::string name = path;
    std::ranges::replace(name, '/', '\\');
    const HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    how == Disposition::open_existing ? OPEN_EXISTING : CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!valid(file)) return last_code();
    handle = reinterpret_cast<Handle>(file);
    return 0;
}

Code size(Handle handle, std::int64_t& size)
{
    // All three moves are made whatever fails; the last failure is the code.
    const HANDLE file = handle_of(handle);
    Code code = 0;
    std::int64_t here = 0;
    if (const Code failed = move(file, 0, FILE_CURRENT, here)) {
        code = failed;
        here = 0;
    }
    std::int64_t end = 0;
    if (const Code failed = move(file, 0, FILE_END, end)) code = failed;
    std::int64_t back = 0;
    if (const Code failed = move(file, here, FILE_BEGIN, back)) code = failed;
    if (code == 0) size = end;
    return code;
}

Code seek(Handle handle, std::int64_t position)
{
    std::int64_t reached = 0;
    return move(handle_of(handle), position, FILE_BEGIN, reached);
}

Code read(Handle handle, unsigned char* data, std::size_t count, std::size_t& done)
{
    DWORD n = 0;
    done = 0;
    if (!ReadFile(handle_of(handle), data, chunk(count), &n, nullptr)) {
        const DWORD error = GetLastError();
        // A pipe whose writer has gone, or a read at the end: end of file.
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
        return io::from_windows_error(error);
    }
    done = n;
    return 0;
}

Code write(Handle handle, const unsigned char* data, std::size_t count, std::size_t& done)
{
    DWORD n = 0;
    done = 0;
    if (!WriteFile(handle_of(handle), data, chunk(count), &n, nullptr)) return last_code();
    done = n;
    return 0;
}

Code close(Handle handle)
{
    const HANDLE file = handle_of(handle);
    if (GetFileType(file) == FILE_TYPE_CHAR) return 0;
    return CloseHandle(file) ? 0 : last_code();
}

Code console_write(const unsigned char* data, std::size_t count, std::size_t& done)
{
    done = 0;
    if (!valid(g_stdout)) return io::from_windows_error(ERROR_INVALID_HANDLE);
    return write(reinterpret_cast<Handle>(g_stdout), data, count, done);
}

void exit(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace os
