// The program in hostile surroundings on Linux: devices and FIFOs for files,
// missing permissions, resource limits, closed standard descriptors, very
// long paths. Whatever happens, it answers with its own lines and status,
// never hangs, dies of a signal or damages a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>

#include <gtest/gtest.h>

#include "blackbox.h"

namespace {

using namespace blackbox;

const unsigned enough = 30;  // seconds: far more than any case needs

class Hostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!native()) GTEST_SKIP() << "provoked only on the native platform";
        write_file(scratch / "in.wbmp", input);
        scratch.timeout = enough;
    }
    void TearDown() override
    {
        if (!IsSkipped()) {
            EXPECT_EQ(read_file(scratch / "in.wbmp"), input) << "the input changed";
        }
    }

    Scratch scratch;
    const Bytes input = wbmp(16, 200);
};

TEST_F(Hostile, OutputDeviceThatIsFull)
{
    const Result result = scratch.run({"in.wbmp", "/dev/full"});
    EXPECT_EQ(result.status, 112);
    EXPECT_EQ(result.out, report(112, 0x004010B0));
    EXPECT_EQ(result.err, "");
}

TEST_F(Hostile, InputsThatAreNotRegularFiles)
{
    fs::create_directory(scratch / "adir");
    ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0644), 0);
    // input, standard output, exit status
    const struct {
        std::string path;
        std::string out;
        int status;
    } cases[] = {
        {"adir", "Can't open input file: adir\r\n", 2},
        {"/dev/null", "Input file is too short!\r\n", 3},
        {"/dev/zero", "Input file is too short!\r\n", 3},
        {"fifo", report(132, 0x00401030), 132},  // has no size: the report follows at once
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Result result = scratch.run({c.path, "out.scrn"});
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_FALSE(fs::exists(scratch / "out.scrn"));
    }
}

TEST_F(Hostile, OutputFifo)
{
    ASSERT_EQ(mkfifo((scratch / "fifo").c_str(), 0644), 0);
    // Nobody reads it: refused at once, not bytes left in a pipe nobody empties.
    Result result = scratch.run({"in.wbmp", "fifo"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.out, "Can't write to output file: fifo\r\n");

    // A reader gets the whole conversion.
    const fs::path got = scratch.root() / "read";
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        alarm(enough);
        const int from = open((scratch / "fifo").c_str(), O_RDONLY);
        const int to = open(got.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char buffer[4096];
        for (ssize_t n; (n = read(from, buffer, sizeof buffer)) > 0;)
            if (write(to, buffer, static_cast<std::size_t>(n)) != n) _exit(1);
        _exit(0);
    }
    // The reader may not have opened its end yet: the program refuses until it has.
    for (int tries = 0; tries < 200; ++tries) {
        result = scratch.run({"in.wbmp", "fifo"});
        if (result.status != 4) break;
        usleep(20'000);
    }
    int status = 0;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, done);
    EXPECT_EQ(read_file(got), tail(input));
}

TEST_F(Hostile, OutputThatIsItsOwnStandardOutputThroughDevStdout)
{
    write_file(scratch / "out.scrn", {});
    const Result result = scratch.run({"in.wbmp", "/dev/stdout"}, Stdout::output_file, "out.scrn");
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(read_text(scratch / "out.scrn"), "Can't write to output file: /dev/stdout\r\n");
}

// Words that run the program through the shell with a command first.
std::vector<std::string> shell(const std::string& command)
{
    return {"/bin/sh", "-c", command + " && exec \"$0\" \"$@\""};
}

TEST_F(Hostile, FileSizeLimit)
{
    const Bytes big(200'000, 0x08);
    write_file(scratch / "big.wbmp", big);
    scratch.prefix = shell("ulimit -f 64");  // 32 KiB or 64 KiB, as the shell counts blocks
    const Result result = scratch.run({"big.wbmp", "out.scrn"});
    // Not killed by SIGXFSZ: the write that passes the limit is a failure like any other.
    EXPECT_EQ(result.status, 223);
    EXPECT_EQ(result.out, report(223, 0x004010E0));
    EXPECT_EQ(result.err, "");
    const Bytes output = read_file(scratch / "out.scrn");
    EXPECT_GE(output.size(), 32'768u);
    EXPECT_LT(output.size(), big.size() - 2);
    EXPECT_TRUE(std::equal(output.begin(), output.end(), big.begin() + 2)) << "not a prefix of the conversion";
    EXPECT_EQ(read_file(scratch / "big.wbmp"), big);
}

TEST_F(Hostile, TooFewFileDescriptors)
{
    // descriptors allowed, exit status, standard output
    const struct {
        int limit;
        int status;
        std::string out;
    } cases[] = {
        {3, 2, "Can't open input file: in.wbmp\r\n"},
        {4, 4, "Can't write to output file: out.scrn\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        scratch.prefix = shell("ulimit -n " + std::to_string(c.limit));
        const Result result = scratch.run({"in.wbmp", "out.scrn"});
        if (result.status == 127 && result.err.find("while loading shared libraries") != std::string::npos) {
            // A dynamically linked build: the loader needs a descriptor before the program runs.
            std::cout << "not run with " << c.limit << " descriptors: " << result.err;
            continue;
        }
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_FALSE(fs::exists(scratch / "out.scrn"));
    }
}

TEST_F(Hostile, ClosedStandardDescriptors)
{
    // Closed at the start, the descriptors are occupied, so that the output
    // never lands on one of them and takes the message lines as well.
    scratch.prefix = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- 2>&-"};
    Result result = scratch.run({"in.wbmp", "out.scrn"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, done);
    EXPECT_EQ(read_file(scratch / "out.scrn"), tail(input));

    fs::remove(scratch / "out.scrn");
    scratch.prefix = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};
    result = scratch.run({"in.wbmp", "out.scrn"});
    EXPECT_EQ(result.status, 101);
    EXPECT_EQ(read_file(scratch / "out.scrn"), tail(input));
}

TEST_F(Hostile, PathsAreNeverCut)
{
    // Three directories of 200 characters: far past any fixed name field.
    fs::path deep = scratch.dir();
    std::string relative;
    for (const char c : {'a', 'b', 'c'}) {
        const std::string part(200, c);
        deep /= part;
        relative += part + "/";
    }
    fs::create_directories(deep);
    Result result = scratch.run({"in.wbmp", relative + "out.scrn"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, done);
    EXPECT_EQ(read_file(deep / "out.scrn"), tail(input));

    // Past the system's own limit: refused by the system, shown whole.
    std::string too_long;
    while (too_long.size() < 5000) too_long += std::string(200, 'x') + "/";
    result = scratch.run({too_long + "in.wbmp", "out.scrn"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "Can't open input file: " + too_long + "in.wbmp\r\n");
}

// As an unprivileged user, so that permissions count even when the tests
// run as root: then through setpriv, with a copy of the program in a
// directory that user can reach.
class Permissions : public Hostile {
protected:
    void SetUp() override
    {
        Hostile::SetUp();
        if (IsSkipped()) return;
        const fs::path top = scratch.root();
        if (geteuid() == 0) {
            if (std::system("command -v setpriv >/dev/null 2>&1") != 0)
                GTEST_SKIP() << "running as root and setpriv is missing";
            fs::permissions(top, fs::perms::others_exec, fs::perm_options::add);
            fs::copy_file(g_program, top / "imgstrip");
            fs::permissions(top / "imgstrip", fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
            scratch.program = (top / "imgstrip").string();
            for (const fs::path& path : {scratch.dir(), scratch / "in.wbmp"})
                ASSERT_EQ(chown(path.c_str(), user, user), 0) << path;
            scratch.prefix = {"setpriv", "--reuid=" + std::to_string(user), "--regid=" + std::to_string(user),
                              "--clear-groups"};
        }
        // A probe: a file without write permission must refuse to be opened for writing.
        const fs::path probe = top / "probe";
        write_file(probe, {});
        fs::permissions(probe, fs::perms::owner_read);
        const int fd = geteuid() == 0 ? -1 : open(probe.c_str(), O_RDWR);
        if (fd >= 0) {
            close(fd);
            GTEST_SKIP() << "permissions are not enforced for this user";
        }
    }

    // An unprivileged user and group that no one else uses: nobody and nogroup.
    static constexpr unsigned user = 65534;

    void give_away(const fs::path& path)
    {
        if (geteuid() == 0) {
            ASSERT_EQ(chown(path.c_str(), user, user), 0) << path;
        }
    }
};

TEST_F(Permissions, ConvertsWhereAllowedAndRefusesWhereNot)
{
    // The same user converts where it may: the refusals below are the permissions'.
    Result result = scratch.run({"in.wbmp", "out.scrn"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(read_file(scratch / "out.scrn"), tail(input));

    fs::create_directory(scratch / "locked");
    give_away(scratch / "locked");
    fs::permissions(scratch / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    result = scratch.run({"in.wbmp", "locked/out.scrn"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.out, "Can't write to output file: locked/out.scrn\r\n");
    EXPECT_FALSE(fs::exists(scratch / "locked" / "out.scrn"));

    const Bytes old = {'o', 'l', 'd'};
    write_file(scratch / "old.scrn", old);
    give_away(scratch / "old.scrn");
    fs::permissions(scratch / "old.scrn", fs::perms::owner_read);
    result = scratch.run({"in.wbmp", "old.scrn"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.out, "Can't write to output file: old.scrn\r\n");
    EXPECT_EQ(read_file(scratch / "old.scrn"), old);

    fs::remove(scratch / "out.scrn");
    fs::permissions(scratch / "in.wbmp", fs::perms::owner_read);
    result = scratch.run({"in.wbmp", "out.scrn"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "Can't open input file: in.wbmp\r\n");
    EXPECT_FALSE(fs::exists(scratch / "out.scrn"));
    fs::permissions(scratch / "in.wbmp", fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
