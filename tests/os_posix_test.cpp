// The POSIX seam against real files, links, devices and FIFOs.
#include "io/os_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_bytes.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using os::Disposition;

TEST(CodeFor, MapsErrnoToTheCodeAWindowsBuildGives)
{
    // errno, whether writing, code
    const struct {
        int error;
        bool writing;
        os::Code code;
    } cases[] = {
        {ENOENT, false, 2},     {ENOTDIR, false, 3},       {EMFILE, false, 4},  {ENFILE, false, 4},
        {EACCES, false, 5},     {EPERM, false, 5},         {EISDIR, false, 5},  {ETXTBSY, false, 5},
        {EWOULDBLOCK, false, 5}, {EAGAIN, false, 5},       {EBADF, false, 6},   {ENOMEM, false, 8},
        {EEXIST, false, 80},    {EINVAL, false, 87},       {ENOSPC, true, 112}, {EDQUOT, true, 112},
        {ESPIPE, false, 132},   {EROFS, false, 150},       {EIO, true, 160},    {EIO, false, 161},
        {EBUSY, false, 170},    {ENAMETOOLONG, false, 206}, {EFBIG, true, 223}, {EPIPE, true, 232},
        {ELOOP, false, 1921},   {ENXIO, false, 162},       {EOVERFLOW, false, 162}, {0, false, 162},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.error) + (c.writing ? " writing" : ""));
        EXPECT_EQ(os::posix::code_for(c.error, c.writing), c.code);
    }
}

using file_bytes::read_file;
using file_bytes::write_file;

// A scratch directory; every handle the seam gives out is closed at the end.
class Seam : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "imgstrip-os-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        write_file(dir / "in", content);
    }
    void TearDown() override
    {
        for (const os::Handle h : handles) EXPECT_EQ(os::close(h), 0);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    // Opens through the seam; returns the code and keeps the handle for closing.
    os::Code open(const std::string& p, Disposition how, os::Handle* out = nullptr)
    {
        os::Handle handle = os::no_handle;
        const os::Code code = os::open(p, how, handle);
        EXPECT_EQ(handle == os::no_handle, code != 0) << "a handle is set exactly on success";
        if (code == 0) handles.push_back(handle);
        if (out != nullptr) *out = handle;
        return code;
    }

    void close(os::Handle handle)
    {
        std::erase(handles, handle);
        EXPECT_EQ(os::close(handle), 0);
    }

    fs::path dir;
    std::vector<os::Handle> handles;
    const Bytes content = {0, 0, 8, 1, 2, 3, 4};
};

TEST_F(Seam, OpenFailures)
{
    fs::create_directory(dir / "adir");
    fs::create_symlink("loop", dir / "loop");
    // path, code for open existing, code for create
    const struct {
        std::string path;
        os::Code existing;
        os::Code created;
    } cases[] = {
        {path("missing"), 2, 0},
        {path("nodir/x"), 3, 3},             // a missing directory on the path
        {path("nodir/deeper/x"), 3, 3},
        {path("in/x"), 3, 3},                // a file where a directory should be
        {path("adir"), 5, 5},
        {path("adir/"), 5, 5},
        {path("loop"), 1921, 1921},
        {path(std::string(300, 'n')), 206, 206},
        {"", 2, 2},                          // the system refuses an empty name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 80));
        EXPECT_EQ(open(c.path, Disposition::open_existing), c.existing);
        EXPECT_EQ(open(c.path, Disposition::create_always), c.created);
    }
    EXPECT_TRUE(fs::exists(dir / "missing"));
    EXPECT_FALSE(fs::exists(dir / "nodir"));
}

TEST_F(Seam, AHeldFileCannotBeOpenedAgain)
{
    os::Handle first;
    ASSERT_EQ(open(path("in"), Disposition::open_existing, &first), 0);
    EXPECT_EQ(open(path("in"), Disposition::open_existing), 5);
    // Released by close: it opens again.
    close(first);
    EXPECT_EQ(open(path("in"), Disposition::open_existing), 0);
}

TEST_F(Seam, AFileLockedThroughAnotherDescriptionIsRefusedAndNotCut)
{
    const int other = ::open(path("in").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(open(path("in"), Disposition::open_existing), 5);
    EXPECT_EQ(open(path("in"), Disposition::create_always), 5);
    ::close(other);
    EXPECT_EQ(read_file(dir / "in"), content);
}

TEST_F(Seam, CreateRefusesAFileThisProcessHoldsUnderAnyName)
{
    ASSERT_EQ(open(path("in"), Disposition::open_existing), 0);
    fs::create_symlink("in", dir / "symlink");
    fs::create_hard_link(dir / "in", dir / "hardlink");
    fs::create_directory(dir / "sub");
    for (const std::string name : {"in", "symlink", "hardlink", "./in", "sub/../in"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(open(path(name), Disposition::create_always), 5);
        EXPECT_EQ(read_file(dir / "in"), content);
    }
}

TEST_F(Seam, CreateRefusesItsOwnStandardOutput)
{
    write_file(dir / "out", content);
    const int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    std::fflush(stdout);
    const int out = ::open(path("out").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(out, 0);
    dup2(out, STDOUT_FILENO);
    ::close(out);
    os::Handle handle = os::no_handle;
    const os::Code code = os::open(path("out"), Disposition::create_always, handle);
    dup2(saved, STDOUT_FILENO);
    ::close(saved);
    if (code == 0) handles.push_back(handle);

    EXPECT_EQ(code, 5);
    EXPECT_EQ(read_file(dir / "out"), content);
}

TEST_F(Seam, CreateCutsAnExistingFileInPlace)
{
    write_file(dir / "out", content);
    struct stat before, after;
    ASSERT_EQ(stat(path("out").c_str(), &before), 0);
    os::Handle handle;
    ASSERT_EQ(open(path("out"), Disposition::create_always, &handle), 0);
    ASSERT_EQ(stat(path("out").c_str(), &after), 0);
    EXPECT_EQ(after.st_size, 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // the same file, not a new one in its place
    std::int64_t size = -1;
    EXPECT_EQ(os::size(handle, size), 0);
    EXPECT_EQ(size, 0);
}

TEST_F(Seam, NewFilesGetTheUsualPermissions)
{
    // umask, mode of the new file
    const struct {
        mode_t mask;
        mode_t mode;
    } cases[] = {{022, 0644}, {027, 0640}, {077, 0600}, {0, 0666}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        const std::string name = path("new" + std::to_string(c.mask));
        const mode_t old = umask(c.mask);
        os::Handle handle;
        const os::Code code = open(name, Disposition::create_always, &handle);
        umask(old);
        ASSERT_EQ(code, 0);
        struct stat file;
        ASSERT_EQ(stat(name.c_str(), &file), 0);
        EXPECT_EQ(file.st_mode & 07777, c.mode);
        close(handle);
    }
}

TEST_F(Seam, AFullTableOfHeldFilesRefusesAndRemovesTheNewFile)
{
    int held = 0;
    for (;; ++held) {
        const std::string name = path("held" + std::to_string(held));
        write_file(name, {});
        if (open(name, Disposition::open_existing) != 0) break;
        ASSERT_LT(held, 1000);
    }
    EXPECT_GE(held, 2);  // the run needs two
    EXPECT_EQ(open(path("new"), Disposition::create_always), 4);
    EXPECT_FALSE(fs::exists(dir / "new"));
}

TEST_F(Seam, SizesAndPositionsAre64Bit)
{
    const std::int64_t length = (std::int64_t{5} << 30) + 3;  // sparse: no disk used
    fs::resize_file(dir / "in", static_cast<std::uintmax_t>(length));
    os::Handle handle;
    ASSERT_EQ(open(path("in"), Disposition::open_existing, &handle), 0);
    std::int64_t size = 0;
    EXPECT_EQ(os::size(handle, size), 0);
    EXPECT_EQ(size, length);

    const std::int64_t far = (std::int64_t{4} << 30) + 1;
    const unsigned char byte = 0xA7;
    std::size_t done = 0;
    ASSERT_EQ(os::seek(handle, far), 0);
    ASSERT_EQ(os::write(handle, &byte, 1, done), 0);
    EXPECT_EQ(done, 1u);
    unsigned char back[2] = {};
    ASSERT_EQ(os::seek(handle, far - 1), 0);
    ASSERT_EQ(os::read(handle, back, 2, done), 0);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(back[1], byte);
    EXPECT_EQ(pread(static_cast<int>(handle), back, 1, far), 1);
    EXPECT_EQ(back[0], byte);
}

TEST_F(Seam, EndOfFileIsAReadOfNothing)
{
    os::Handle handle;
    ASSERT_EQ(open(path("in"), Disposition::open_existing, &handle), 0);
    unsigned char data[64];
    std::size_t done = 99;
    ASSERT_EQ(os::read(handle, data, sizeof data, done), 0);
    EXPECT_EQ(done, content.size());
    ASSERT_EQ(os::read(handle, data, sizeof data, done), 0);
    EXPECT_EQ(done, 0u);
}

// Guards a case that must not block: the test process dies at the alarm.
struct NoHang {
    NoHang() { alarm(20); }
    ~NoHang() { alarm(0); }
};

TEST_F(Seam, AFifoOpensAtOnceAndHasNoSize)
{
    NoHang guard;
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    os::Handle handle;
    ASSERT_EQ(open(path("fifo"), Disposition::open_existing, &handle), 0);
    std::int64_t size = 7;
    EXPECT_EQ(os::size(handle, size), 132);
    EXPECT_EQ(size, 7);
}

TEST_F(Seam, AFifoAsOutputNeedsAReaderAndNoticesOneThatLeaves)
{
    NoHang guard;
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_NE(open(path("fifo"), Disposition::create_always), 0);  // nobody reads it

    const int reader = ::open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    os::Handle handle;
    ASSERT_EQ(open(path("fifo"), Disposition::create_always, &handle), 0);
    const unsigned char bytes[3] = {1, 2, 3};
    std::size_t done = 0;
    EXPECT_EQ(os::write(handle, bytes, sizeof bytes, done), 0);
    unsigned char got[8];
    EXPECT_EQ(::read(reader, got, sizeof got), 3);
    ::close(reader);

    struct sigaction old{}, ignore{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    EXPECT_EQ(os::write(handle, bytes, sizeof bytes, done), 232);
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(done, 0u);
}

TEST_F(Seam, CharacterDevicesHaveSizeZeroAndStayOpen)
{
    for (const char* device : {"/dev/null", "/dev/zero"}) {
        SCOPED_TRACE(device);
        for (const Disposition how : {Disposition::open_existing, Disposition::create_always}) {
            os::Handle handle = os::no_handle;
            ASSERT_EQ(os::open(device, how, handle), 0);
            std::int64_t size = 7;
            EXPECT_EQ(os::size(handle, size), 0);
            EXPECT_EQ(size, 0);
            EXPECT_EQ(os::close(handle), 0);
            const int fd = static_cast<int>(handle);
            EXPECT_NE(fcntl(fd, F_GETFD), -1) << "left open";
            ::close(fd);
        }
    }
}

TEST_F(Seam, TransfersReportSystemFailures)
{
    os::Handle handle = os::no_handle;
    ASSERT_EQ(os::open("/dev/full", Disposition::create_always, handle), 0);
    const unsigned char byte = 1;
    std::size_t done = 9;
    EXPECT_EQ(os::write(handle, &byte, 1, done), 112);
    EXPECT_EQ(done, 0u);
    ::close(static_cast<int>(handle));

    const int write_only = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(write_only, 0);
    unsigned char data[4];
    EXPECT_EQ(os::read(write_only, data, sizeof data, done), 6);
    ::close(write_only);

    os::Handle input;
    ASSERT_EQ(open(path("in"), Disposition::open_existing, &input), 0);
    EXPECT_EQ(os::seek(input, -1), 87);
}

// In a child: closes the named standard descriptors, starts, and reports
// through its exit status what it finds (0 when all is well).
int start_with_closed(const std::vector<int>& closed, const std::string& file)
{
    for (const int fd : closed) ::close(fd);
    char name[] = "imgstrip";
    char* argv[] = {name, nullptr};
    if (!os::start(1, argv).empty()) return 10;
    struct stat null_device;
    if (stat("/dev/null", &null_device) != 0) return 11;
    for (int fd = 0; fd <= 2; ++fd) {
        struct stat got;
        if (fstat(fd, &got) != 0) return 20 + fd;
        const bool closed_before = std::find(closed.begin(), closed.end(), fd) != closed.end();
        if (closed_before && (got.st_rdev != null_device.st_rdev || (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY))
            return 30 + fd;
    }
    os::Handle handle = os::no_handle;
    if (os::open(file, Disposition::create_always, handle) != 0) return 40;
    if (handle <= 2) return 41;
    struct sigaction pipe_action{};
    sigaction(SIGPIPE, nullptr, &pipe_action);
    if (pipe_action.sa_handler != SIG_IGN) return 50;
    // A console write to a descriptor that was closed fails rather than landing anywhere.
    if (std::find(closed.begin(), closed.end(), 1) != closed.end()) {
        std::size_t done = 0;
        if (os::console_write(reinterpret_cast<const unsigned char*>("x"), 1, done) == 0) return 60;
    }
    return 0;
}

TEST_F(Seam, StartOccupiesClosedStandardDescriptors)
{
    const std::vector<int> cases[] = {{0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}, {0, 1, 2}};
    for (const std::vector<int>& closed : cases) {
        std::string trace;
        for (const int fd : closed) trace += std::to_string(fd) + " ";
        SCOPED_TRACE("closed: " + trace);
        std::fflush(nullptr);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(start_with_closed(closed, path("out" + std::to_string(closed.size()))));
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

}  // namespace
