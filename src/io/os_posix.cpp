// The seam on POSIX systems.
//
// Holding: Windows opens without sharing; here a regular file is held with
// a non-blocking exclusive flock(), which keeps out only other programs that
// lock too. Devices are not held, as on Windows. An open also refuses, before
// anything is cut, a file this process holds and its own standard output,
// however they are named (compared by device and inode): a file that is
// standard output is open elsewhere already, which Windows would refuse too.
#include "io/os_posix.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {
namespace posix {

Code code_for(int error, bool writing)
{
    switch (error) {
    case ENOENT: return 2;        // file not found
    case ENOTDIR: return 3;       // path not found
    case EMFILE:
    case ENFILE: return 4;        // too many open files
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
    case EWOULDBLOCK: return 5;   // access denied (and the sharing violation)
    case EBADF: return 6;         // invalid handle
    case ENOMEM: return 8;        // not enough memory
    case EEXIST: return 80;       // file exists
    case EINVAL: return 87;       // invalid parameter
    case ENOSPC:
    case EDQUOT: return 112;      // disk full
    case ESPIPE: return 132;      // seek on a device
    case EROFS: return 150;       // write protected (19)
    case EIO: return writing ? 160 : 161;  // write fault (29), read fault (30)
    case EBUSY: return 170;       // busy
    case ENAMETOOLONG: return 206;  // file name too long
    case EFBIG: return 223;       // file too large
    case EPIPE: return 232;       // the pipe is being closed
    case ELOOP: return 1921;      // name cannot be resolved
    default: return 162;          // general failure (31)
    }
}

}  // namespace posix

namespace {

using posix::code_for;

int fd_of(Handle handle) { return static_cast<int>(handle); }

// The regular files this process holds, so that no other open of the run
// can reach one of them under another name.
struct Held {
    int fd;
    dev_t device;
    ino_t inode;
};
constexpr int max_held = 16;
Held g_held[max_held];
int g_held_count = 0;

bool same_file(const struct stat& a, dev_t device, ino_t inode)
{
    return a.st_dev == device && a.st_ino == inode;
}

bool is_held_or_stdout(const struct stat& file)
{
    for (int i = 0; i < g_held_count; ++i) {
        if (same_file(file, g_held[i].device, g_held[i].inode)) return true;
    }
    struct stat out;
    return fstat(STDOUT_FILENO, &out) == 0 && same_file(file, out.st_dev, out.st_ino);
}

// Holds an opened file; for the output, also cuts it.
Code hold(int fd, bool cut)
{
    struct stat file;
    if (fstat(fd, &file) != 0) return code_for(errno);
    if (!S_ISREG(file.st_mode)) return 0;
    if (g_held_count == max_held) return 4;
    if (is_held_or_stdout(file)) return 5;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return 5;
        // A file system without flock() leaves the file unheld, not unusable.
        if (errno != EINTR) break;
    }
    if (cut && file.st_size != 0 && ftruncate(fd, 0) != 0) return code_for(errno);
    g_held[g_held_count++] = {fd, file.st_dev, file.st_ino};
    return 0;
}

void release(int fd)
{
    for (int i = 0; i < g_held_count; ++i) {
        if (g_held[i].fd == fd) {
            g_held[i] = g_held[--g_held_count];
            return;
        }
    }
}

int open_retrying(const char* path, int flags)
{
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A FIFO as the output is opened write-only, never for reading too: with no
// reader the create fails (ENXIO) instead of leaving the bytes in a pipe
// nobody reads, a reader sees no writer come and go before the real one, and
// a reader that goes away is EPIPE instead of a write that waits for ever on
// this process's own read end.
bool is_fifo(const char* path)
{
    struct stat file;
    return stat(path, &file) == 0 && S_ISFIFO(file.st_mode);
}

int fifo_writer(const char* path)
{
    const int fd = open_retrying(path, O_WRONLY | O_NONBLOCK);
    if (fd >= 0 && fcntl(fd, F_SETFL, 0) != 0) {
        const int error = errno;
        (void)::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// ENOENT also stands for a missing directory on the path, which Windows
// tells apart as "path not found".
Code open_failure(const char* path, int error)
{
    const char* slash = std::strrchr(path, '/');
    if (error == ENOENT && slash != nullptr) {
        const std::string directory(path, slash == path ? 1 : static_cast<std::size_t>(slash - path));
        struct stat file;
        if (stat(directory.c_str(), &file) != 0) return 3;
    }
    return code_for(error);
}

}  // namespace

std::vector<std::string> start(int argc, char** argv)
{
    // A standard descriptor found closed gets something that refuses writes,
    // so no file of the run lands there and console writes fail as they should.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)::open("/dev/null", O_RDONLY);
    }
    // A reader that has gone makes a console write fail (101), and a file size
    // limit makes a write fail (EFBIG), instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

Code open(const std::string& path, Disposition how, Handle& handle)
{
    const char* name = path.c_str();
    bool made = false;
    int fd;
    if (how == Disposition::open_existing) {
        fd = open_retrying(name, O_RDWR);
    } else if (is_fifo(name)) {
        fd = fifo_writer(name);
    } else {
        // Opened without O_TRUNC: nothing is cut before the checks in hold().
        // A file this call made is removed again if they fail.
        for (int tries = 0;; ++tries) {
            fd = open_retrying(name, O_RDWR | O_CREAT | O_EXCL);
            made = fd >= 0;
            if (made || errno != EEXIST) break;
            fd = open_retrying(name, O_RDWR);
            if (fd >= 0 || errno != ENOENT || tries == 3) break;
        }
    }
    if (fd < 0) return open_failure(name, errno);

    if (const Code code = hold(fd, how == Disposition::create_always)) {
        if (made) (void)unlink(name);
        (void)::close(fd);
        return code;
    }
    handle = fd;
    return 0;
}

Code size(Handle handle, std::int64_t& size)
{
    const int fd = fd_of(handle);
    struct stat file;
    if (fstat(fd, &file) != 0) return code_for(errno);
    if (S_ISREG(file.st_mode)) {
        size = file.st_size;
        return 0;
    }
    // Devices are measured by moving to the end and back; a pipe refuses.
    const off_t here = lseek(fd, 0, SEEK_CUR);
    if (here < 0) return code_for(errno);
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return code_for(errno);
    if (lseek(fd, here, SEEK_SET) < 0) return code_for(errno);
    size = end;
    return 0;
}

Code seek(Handle handle, std::int64_t position)
{
    return lseek(fd_of(handle), static_cast<off_t>(position), SEEK_SET) < 0 ? code_for(errno) : 0;
}

namespace {

template <typename Call>
Code transfer(Call call, bool writing, std::size_t& done)
{
    ssize_t n;
    do n = call();
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        done = 0;
        return code_for(errno, writing);
    }
    done = static_cast<std::size_t>(n);
    return 0;
}

}  // namespace

Code read(Handle handle, unsigned char* data, std::size_t count, std::size_t& done)
{
    return transfer([&] { return ::read(fd_of(handle), data, count); }, false, done);
}

Code write(Handle handle, const unsigned char* data, std::size_t count, std::size_t& done)
{
    return transfer([&] { return ::write(fd_of(handle), data, count); }, true, done);
}

Code console_write(const unsigned char* data, std::size_t count, std::size_t& done)
{
    return transfer([&] { return ::write(STDOUT_FILENO, data, count); }, true, done);
}

Code close(Handle handle)
{
    const int fd = fd_of(handle);
    struct stat file;
    if (fstat(fd, &file) != 0) return code_for(errno);
    if (S_ISCHR(file.st_mode)) return 0;
    release(fd);
    // After EINTR the descriptor is gone all the same on Linux.
    return ::close(fd) != 0 && errno != EINTR ? code_for(errno, true) : 0;
}

void exit(int status) { _exit(status); }

}  // namespace os
