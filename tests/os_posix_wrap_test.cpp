// The POSIX seam's answers to system calls that fail, are interrupted or
// move fewer bytes: this executable is linked with --wrap for each call the
// seam makes, and the __wrap_ functions below fail on request and otherwise
// pass the call on.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected.h"
#include "file_bytes.h"

#include "imgstrip.h"
#include "io/byte_file.h"
#include "io/console.h"
#include "io/os.h"

namespace {

enum Sys { sys_open, sys_fstat, sys_stat, sys_flock, sys_ftruncate, sys_lseek, sys_read, sys_write, sys_close,
           sys_unlink, sys_count };

const char* const sys_names[sys_count] = {"open", "fstat", "stat", "flock", "ftruncate", "lseek", "read",
                                          "write", "close", "unlink"};

// What happens to calls of one kind: `pass` go through, then `times` are
// injected: they fail with `error`, or, with error 0, move at most `moved`
// bytes (read and write only).
struct Plan {
    int pass = 0;
    int times = 0;
    int error = 0;
    std::size_t moved = 0;
};

Plan g_plan[sys_count];
int g_seen[sys_count];
// For the sweep: the wrapped call (counted over all kinds) that fails; 0: none.
int g_fail_at = 0;
int g_calls = 0;

// The sweep's record of calls, shared with the child that runs the conversion.
struct SweepLog {
    int calls = 0;
    Sys kinds[1024];
};
SweepLog* g_log = nullptr;

void log_call(Sys sys)
{
    if (g_log != nullptr && g_log->calls < static_cast<int>(std::size(g_log->kinds)))
        g_log->kinds[g_log->calls++] = sys;
}

void reset_plans()
{
    for (int i = 0; i < sys_count; ++i) g_plan[i] = {}, g_seen[i] = 0;
    g_fail_at = 0;
    g_calls = 0;
}

// The errno a failing call of each kind gets in the sweep.
int usual_error(Sys sys)
{
    switch (sys) {
    case sys_open: return EACCES;
    case sys_flock: return EWOULDBLOCK;
    case sys_lseek: return EINVAL;
    case sys_write: return ENOSPC;
    case sys_unlink: return EPERM;
    default: return EIO;
    }
}

// Whether this call is injected; sets errno for a failure.
bool injected(Sys sys, bool& shorten)
{
    shorten = false;
    ++g_calls;
    log_call(sys);
    if (g_fail_at != 0 && g_calls == g_fail_at) {
        errno = usual_error(sys);
        return true;
    }
    const Plan& plan = g_plan[sys];
    const int n = g_seen[sys]++;
    if (n < plan.pass || n >= plan.pass + plan.times) return false;
    if (plan.error == 0) {
        shorten = true;
        return false;
    }
    errno = plan.error;
    return true;
}

bool injected(Sys sys)
{
    bool shorten;
    return injected(sys, shorten);
}

}  // namespace

extern "C" {
int __real_open64(const char* path, int flags, ...);
int __real_fstat64(int fd, struct stat64* buf);
int __real_stat64(const char* path, struct stat64* buf);
int __real_flock(int fd, int operation);
int __real_ftruncate64(int fd, off64_t length);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
ssize_t __real_read(int fd, void* data, size_t count);
ssize_t __real_write(int fd, const void* data, size_t count);
int __real_close(int fd);
int __real_unlink(const char* path);

int __wrap_open64(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    return injected(sys_open) ? -1 : __real_open64(path, flags, mode);
}

int __wrap_fstat64(int fd, struct stat64* buf) { return injected(sys_fstat) ? -1 : __real_fstat64(fd, buf); }
int __wrap_stat64(const char* path, struct stat64* buf) { return injected(sys_stat) ? -1 : __real_stat64(path, buf); }
int __wrap_flock(int fd, int operation) { return injected(sys_flock) ? -1 : __real_flock(fd, operation); }
int __wrap_ftruncate64(int fd, off64_t length)
{
    return injected(sys_ftruncate) ? -1 : __real_ftruncate64(fd, length);
}
off64_t __wrap_lseek64(int fd, off64_t offset, int whence)
{
    return injected(sys_lseek) ? -1 : __real_lseek64(fd, offset, whence);
}

ssize_t __wrap_read(int fd, void* data, size_t count)
{
    bool shorten;
    if (injected(sys_read, shorten)) return -1;
    if (shorten) count = std::min(count, g_plan[sys_read].moved);
    return count == 0 && shorten ? 0 : __real_read(fd, data, count);
}

ssize_t __wrap_write(int fd, const void* data, size_t count)
{
    bool shorten;
    if (injected(sys_write, shorten)) return -1;
    if (shorten) count = std::min(count, g_plan[sys_write].moved);
    return count == 0 && shorten ? 0 : __real_write(fd, data, count);
}

// As on Linux, a close that reports a failure has released the descriptor all the same.
int __wrap_close(int fd)
{
    const bool fail = injected(sys_close);
    const int error = errno;
    const int result = __real_close(fd);
    if (!fail) return result;
    errno = error;
    return -1;
}

int __wrap_unlink(const char* path) { return injected(sys_unlink) ? -1 : __real_unlink(path); }
}

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using os::Disposition;

using file_bytes::read_file;
using file_bytes::write_file;

bool is_open(os::Handle handle) { return fcntl(static_cast<int>(handle), F_GETFD) != -1; }

io::ByteFile g_file;  // large: kept off the stack

class Wrapped : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_plans();
        io::reset_files();
        std::string pattern = (fs::temp_directory_path() / "imgstrip-wrap-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        write_file(dir / "in", content);
    }
    void TearDown() override
    {
        reset_plans();
        for (const os::Handle h : handles)
            if (is_open(h)) {
                EXPECT_EQ(os::close(h), 0);
            }
        io::reset_files();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    // Opens through the seam with the plan for `sys` in force, then lifts it.
    os::Code open(const std::string& name, Disposition how, Sys sys = sys_count, Plan plan = {},
                  os::Handle* out = nullptr)
    {
        if (sys != sys_count) g_plan[sys] = plan;
        os::Handle handle = os::no_handle;
        const os::Code code = os::open(path(name), how, handle);
        reset_plans();
        if (code == 0) handles.push_back(handle);
        if (out != nullptr) *out = handle;
        return code;
    }

    // Whether the file is held by this process: a second open is refused.
    bool held(const std::string& name)
    {
        os::Handle handle = os::no_handle;
        const os::Code code = os::open(path(name), Disposition::open_existing, handle);
        if (code == 0) {
            EXPECT_EQ(os::close(handle), 0);
        }
        return code == 5;
    }

    fs::path dir;
    std::vector<os::Handle> handles;
    const Bytes content = {0, 0, 8, 1, 2, 3, 4};
};

TEST_F(Wrapped, InterruptedCallsAreRetried)
{
    const Plan interrupted = {0, 3, EINTR};
    EXPECT_EQ(open("in", Disposition::open_existing, sys_open, interrupted), 0);
    EXPECT_TRUE(held("in"));
    EXPECT_EQ(open("new", Disposition::create_always, sys_open, interrupted), 0);
    os::Handle handle;
    EXPECT_EQ(open("out", Disposition::create_always, sys_flock, interrupted, &handle), 0);
    EXPECT_TRUE(held("out"));

    unsigned char data[16];
    std::size_t done = 0;
    g_plan[sys_write] = interrupted;
    EXPECT_EQ(os::write(handle, content.data(), content.size(), done), 0);
    EXPECT_EQ(done, content.size());
    ASSERT_EQ(os::seek(handle, 0), 0);
    g_plan[sys_read] = interrupted;
    EXPECT_EQ(os::read(handle, data, sizeof data, done), 0);
    EXPECT_EQ(done, content.size());
    g_plan[sys_write] = interrupted;
    const int saved = dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    g_seen[sys_write] = 0;
    const os::Code console = os::console_write(data, 3, done);
    dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(null);
    EXPECT_EQ(console, 0);
    EXPECT_EQ(done, 3u);

    // An interrupted close has released the descriptor on Linux: not a failure.
    g_plan[sys_close] = {0, 1, EINTR};
    EXPECT_EQ(os::close(handle), 0);
    reset_plans();
    EXPECT_FALSE(is_open(handle));
    EXPECT_FALSE(held("out"));
}

TEST_F(Wrapped, FailedCallsGiveTheirCodes)
{
    write_file(dir / "old", content);
    // the call, its errno, how the file is opened, the code
    const struct {
        Sys sys;
        int error;
        Disposition how;
        const char* name;
        os::Code code;
    } opens[] = {
        {sys_open, EMFILE, Disposition::open_existing, "in", 4},
        {sys_open, EACCES, Disposition::open_existing, "in", 5},
        {sys_open, EROFS, Disposition::create_always, "new", 150},
        {sys_open, ENOSPC, Disposition::create_always, "new", 112},
        {sys_fstat, EIO, Disposition::open_existing, "in", 161},
        {sys_flock, EWOULDBLOCK, Disposition::open_existing, "in", 5},
        {sys_ftruncate, EIO, Disposition::create_always, "old", 161},
        {sys_ftruncate, EPERM, Disposition::create_always, "old", 5},
    };
    for (const auto& c : opens) {
        SCOPED_TRACE(std::string(sys_names[c.sys]) + " " + c.name + " " + std::to_string(c.error));
        EXPECT_EQ(open(c.name, c.how, c.sys, {0, 100, c.error}), c.code);
        EXPECT_FALSE(held(c.name));
    }
    EXPECT_EQ(read_file(dir / "old"), content);  // a cut that failed cut nothing, and the file stays
    EXPECT_EQ(read_file(dir / "in"), content);
}

TEST_F(Wrapped, ACreateThatFailsAfterMakingTheFileRemovesIt)
{
    // the call that fails after the file is made, its errno, the code
    const struct {
        Sys sys;
        int error;
        os::Code code;
    } cases[] = {
        {sys_fstat, EIO, 161},
        {sys_fstat, ENOMEM, 8},
        {sys_flock, EWOULDBLOCK, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(sys_names[c.sys]) + " " + std::to_string(c.error));
        EXPECT_EQ(open("new", Disposition::create_always, c.sys, {0, 100, c.error}), c.code);
        EXPECT_FALSE(fs::exists(dir / "new"));
    }
    // Even when the removal itself fails, the create's own failure is what is reported.
    g_plan[sys_unlink] = {0, 1, EPERM};
    EXPECT_EQ(open("new", Disposition::create_always, sys_flock, {0, 1, EWOULDBLOCK}), 5);
}

TEST_F(Wrapped, AFileSystemWithoutLocksLeavesTheFileUsable)
{
    os::Handle handle;
    EXPECT_EQ(open("in", Disposition::open_existing, sys_flock, {0, 1, ENOLCK}, &handle), 0);
    std::int64_t size = 0;
    EXPECT_EQ(os::size(handle, size), 0);
    EXPECT_EQ(size, static_cast<std::int64_t>(content.size()));
}

TEST_F(Wrapped, SizeOfADeviceFailsAtEachOfItsMoves)
{
    os::Handle handle = os::no_handle;
    ASSERT_EQ(os::open("/dev/zero", Disposition::open_existing, handle), 0);
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass);
        g_plan[sys_lseek] = {pass, 1, EINVAL};
        std::int64_t size = 7;
        EXPECT_EQ(os::size(handle, size), 87);
        EXPECT_EQ(size, 7);
        reset_plans();
    }
    g_plan[sys_fstat] = {0, 1, EBADF};
    std::int64_t size = 0;
    EXPECT_EQ(os::size(handle, size), 6);
    reset_plans();
    ::close(static_cast<int>(handle));
}

TEST_F(Wrapped, TransfersAndClosesThatFail)
{
    os::Handle handle;
    ASSERT_EQ(open("in", Disposition::open_existing, sys_count, {}, &handle), 0);
    unsigned char data[16];
    std::size_t done = 9;
    // the call, its errno, the code
    const struct {
        Sys sys;
        int error;
        os::Code code;
    } cases[] = {{sys_read, EIO, 161}, {sys_write, EIO, 160}, {sys_write, ENOSPC, 112}, {sys_write, EFBIG, 223},
                 {sys_write, EPIPE, 232}, {sys_read, EISDIR, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(sys_names[c.sys]) + " " + std::to_string(c.error));
        g_plan[c.sys] = {0, 1, c.error};
        const os::Code code = c.sys == sys_read ? os::read(handle, data, sizeof data, done)
                                                : os::write(handle, data, 1, done);
        reset_plans();
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(done, 0u);
        if (c.sys == sys_write) {
            g_plan[sys_write] = {0, 1, c.error};
            EXPECT_EQ(os::console_write(data, 1, done), c.code);
            reset_plans();
        }
    }
    EXPECT_EQ(read_file(dir / "in"), content);

    // A close that fails is reported, and the file is released all the same.
    g_plan[sys_close] = {0, 1, EIO};
    EXPECT_EQ(os::close(handle), 160);
    reset_plans();
    EXPECT_FALSE(is_open(handle));
    EXPECT_FALSE(held("in"));
}

// The checked byte file over the real seam: short transfers are continued,
// and one that moves nothing is a failure, not a loop.
TEST_F(Wrapped, ShortTransfersThroughTheByteFile)
{
    const Bytes run(1000, 0x5C);
    io::bind(g_file, path("out"));
    io::create(g_file);
    ASSERT_EQ(io::pending(), 0);
    g_plan[sys_write] = {0, 50, 0, 7};
    io::write_run(g_file, run);
    io::close(g_file);
    reset_plans();
    EXPECT_EQ(io::take_code(), 0);
    EXPECT_EQ(read_file(dir / "out"), run);

    io::bind(g_file, path("out"));
    io::open_existing(g_file);
    g_plan[sys_read] = {0, 3, 0, 1};
    Bytes got;
    while (!io::at_end(g_file)) {
        const std::span<const unsigned char> bytes = io::read_run(g_file);
        got.insert(got.end(), bytes.begin(), bytes.end());
        ASSERT_EQ(io::pending(), 0);
    }
    reset_plans();
    EXPECT_EQ(got, run);
    io::close(g_file);

    io::bind(g_file, path("out"));
    io::open_existing(g_file);
    g_plan[sys_write] = {0, 1, 0, 0};
    io::write_run(g_file, run);
    reset_plans();
    EXPECT_EQ(io::take_code(), io::write_fault);
    io::close(g_file);
    EXPECT_EQ(io::take_code(), 0);
}


// Runs a whole conversion in a child whose fail_at-th wrapped call fails;
// its standard output goes to the file "stdout" in dir.
int run_child(int fail_at, const fs::path& dir, const std::vector<std::string>& args)
{
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = ::open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out, STDOUT_FILENO);
        ::close(out);
        if (chdir(dir.c_str()) != 0) _exit(126);
        std::vector<std::string> words = {"imgstrip"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        reset_plans();
        *g_log = {};
        g_fail_at = fail_at;
        imgstrip::start(static_cast<int>(words.size()), argv.data());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// The code a failing call of each kind leaves, as the sweep injects it.
os::Code code_of(Sys sys, bool console)
{
    switch (sys) {
    case sys_read: return io::read_failed;
    case sys_write: return console ? io::console_failed : os::Code{112};
    case sys_close: return 160;
    case sys_lseek: return 87;
    case sys_open: case sys_flock: return 5;
    default: return 161;
    }
}

using expected::report;

// Every system call of whole conversions failing in turn, against real
// files: the run never reports a failure as success, never dies of a
// signal, never touches the input, and leaves the output absent, untouched
// or holding a prefix of the conversion.
TEST_F(Wrapped, EverySystemCallOfARunFailingInTurn)
{
    g_log = static_cast<SweepLog*>(
        mmap(nullptr, sizeof(SweepLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(g_log, MAP_FAILED);
    Bytes large(2 * io::buffer_size + 1000, 0x33);
    large[2] = 16;
    const Bytes four = {9, 9, 8, 5};
    // input, whether an older output is there; each child costs time under the sanitizers
    const std::pair<const Bytes&, bool> runs[] = {{four, true}, {four, false}, {large, true}};
    const Bytes old = {'o', 'l', 'd'};
    int points = 0;
    for (const auto& [input, existing] : runs) {
        for (int k = 1;; ++k) {
            SCOPED_TRACE(std::to_string(input.size()) + " bytes" + (existing ? " over an old output" : "") +
                         ", call " + std::to_string(k));
            write_file(dir / "in.wbmp", input);
            fs::remove(dir / "out.scrn");
            if (existing) write_file(dir / "out.scrn", old);
            const int status = run_child(k, dir, {"in.wbmp", "out.scrn"});
            const Bytes text = read_file(dir / "stdout");
            const std::string out(text.begin(), text.end());
            const bool exists = fs::exists(dir / "out.scrn");
            const Bytes output = read_file(dir / "out.scrn");
            const Bytes converted(input.begin() + 2, input.end());
            EXPECT_EQ(read_file(dir / "in.wbmp"), input);
            ASSERT_LT(status, 1000) << "died of signal " << status - 1000;
            if (g_log->calls < k) {  // no call left to fail: the clean run
                EXPECT_EQ(status, 0);
                EXPECT_EQ(out, "Done...\r\n");
                EXPECT_EQ(output, converted);
                break;
            }
            ++points;
            const Sys sys = g_log->kinds[k - 1];
            SCOPED_TRACE(sys_names[sys]);
            if (status == 0) {
                // Absorbed: only a failure nothing depends on, the FIFO test of the
                // output or its comparison with standard output.
                EXPECT_TRUE(sys == sys_stat || sys == sys_fstat);
                EXPECT_EQ(out, "Done...\r\n");
                EXPECT_EQ(output, converted);
            } else if (status == 2 || status == 4) {
                EXPECT_EQ(out, status == 2 ? "Can't open input file: in.wbmp\r\n"
                                           : "Can't write to output file: out.scrn\r\n");
                EXPECT_EQ(exists, existing) << "a file the create made is removed";
                if (existing) {
                    EXPECT_EQ(output, old);
                }
            } else {
                unsigned code = 0, where = 0;
                ASSERT_EQ(std::sscanf(out.c_str(), "Runtime error %u at 0x%8X", &code, &where), 2) << out;
                EXPECT_EQ(out, report(code, where));
                EXPECT_EQ(status, (code & 0xFF) != 0 ? static_cast<int>(code & 0xFF) : 255);
                EXPECT_TRUE(code == code_of(sys, false) || code == code_of(sys, true)) << code;
                // Untouched, or holding what was written before the failure.
                const bool untouched = existing ? output == old : !exists;
                const bool prefix = exists && output.size() <= converted.size() &&
                                    std::equal(output.begin(), output.end(), converted.begin());
                EXPECT_TRUE(untouched || prefix);
            }
        }
    }
    munmap(g_log, sizeof(SweepLog));
    g_log = nullptr;
    std::cout << "system call sweep: " << points << " fault points swept\n";
    RecordProperty("fault_points", points);
}

}  // namespace
