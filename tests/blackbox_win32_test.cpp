// Cases only the Windows build meets, run under a runner such as wine: share
// modes, Windows path forms and the length limit of the ANSI file functions.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "blackbox.h"

namespace {

using namespace blackbox;


// Starts words in dir with the given standard input and output, standard
// error discarded, no other descriptor inherited.
pid_t spawn(const fs::path& dir, std::vector<std::string> words, int in, int out)
{
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        const int null = open("/dev/null", O_RDWR);
        dup2(in >= 0 ? in : null, 0);
        dup2(out >= 0 ? out : null, 1);
        dup2(null, 2);
        for (int fd = 3; fd < 64; ++fd) close(fd);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits up to two minutes for pid to end, then kills it; its exit status, or -1.
int finish(pid_t pid)
{
    int status = 0;
    for (int i = 0; i < 1200; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

int run_quietly(const fs::path& dir, const std::vector<std::string>& words)
{
    return finish(spawn(dir, words, -1, -1));
}

std::vector<std::string> with_runner(std::vector<std::string> words)
{
    words.insert(words.begin(), g_runner.begin(), g_runner.end());
    return words;
}

// Another Windows program, on the same wine server, holding a file of the
// scratch directory without sharing until it is destroyed.
class Holder {
public:
    Holder(const Scratch& scratch, const std::string& name)
    {
        int to[2], from[2];
        if (pipe(to) != 0 || pipe(from) != 0) return;
        const fs::path holder = fs::path(g_program).parent_path() / "holder.exe";
        pid_ = spawn(scratch.dir(), with_runner({holder.string(), name}), to[0], from[1]);
        close(to[0]);
        close(from[1]);
        stdin_ = to[1];
        std::string said;
        char c;
        while (read(from[0], &c, 1) == 1 && c != '\n') said += c;
        close(from[0]);
        held_ = said == "held";
    }
    ~Holder()
    {
        if (stdin_ >= 0) close(stdin_);  // the holder ends when its input does
        if (pid_ > 0) finish(pid_);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    bool held_ = false;
};

// Every path under dir, relative to it.
std::set<std::string> tree(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        names.insert(fs::relative(entry.path(), dir).string());
    }
    return names;
}

// The scratch directory as the Windows build sees it, on wine's drive Z:.
std::string z_path(const Scratch& scratch) { return "Z:" + scratch.dir().string(); }

class Win32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (native()) GTEST_SKIP() << "needs the Windows build and a runner such as wine";
        write_file(scratch / "in.wbmp", input);
    }
    void expect_refused_input(const Result& result, const std::string& name)
    {
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "Can't open input file: " + name + "\r\n");
        EXPECT_EQ(result.err, "");
        EXPECT_FALSE(fs::exists(scratch / "out.scrn"));
    }
    void expect_refused_output(const Result& result, const std::string& name)
    {
        EXPECT_EQ(result.status, 4);
        EXPECT_EQ(result.out, "Can't write to output file: " + name + "\r\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(read_file(scratch / "in.wbmp"), input) << "the input changed";
    }
    void expect_converted(const Result& result, const fs::path& output)
    {
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, done);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(read_file(output), tail(input));
    }

    Scratch scratch;
    const Bytes input = wbmp(24, 9);
};

TEST_F(Win32, InputHeldByAnotherProgram)
{
    const Holder holder(scratch, "in.wbmp");
    ASSERT_TRUE(holder.held());
    expect_refused_input(scratch.run({"in.wbmp", "out.scrn"}), "in.wbmp");
}

TEST_F(Win32, OutputHeldByAnotherProgram)
{
    const Bytes old = {1, 2, 3};
    write_file(scratch / "held.scrn", old);
    const Holder holder(scratch, "held.scrn");
    ASSERT_TRUE(holder.held());
    expect_refused_output(scratch.run({"in.wbmp", "held.scrn"}), "held.scrn");
    EXPECT_EQ(read_file(scratch / "held.scrn"), old);
}

TEST_F(Win32, OutputThatIsTheInputUnderAnotherSpelling)
{
    fs::create_directory(scratch / "adir");
    const std::string names[] = {
        "in.wbmp", ".\\in.wbmp", "./in.wbmp", "IN.WBMP", "adir\\..\\in.wbmp", z_path(scratch) + "/in.wbmp",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        expect_refused_output(scratch.run({"in.wbmp", name}), name);
    }
}

// Blanks inside names, both separators, drive and \\?\ forms. In the last,
// Windows takes the rest of the name literally, so it opens only because
// forward slashes reach the system as backslashes.
TEST_F(Win32, PathsInWindowsForms)
{
    fs::create_directories(scratch / "sub dir" / "two  blanks");
    write_file(scratch / "sub dir" / "in put.wbmp", input);
    const std::string z = z_path(scratch);
    struct Row {
        std::string in, out;
        fs::path written;
    };
    const Row rows[] = {
        {"sub dir\\in put.wbmp", "sub dir\\two  blanks\\out put.scrn", "sub dir/two  blanks/out put.scrn"},
        {"sub dir/in put.wbmp", "sub dir/two  blanks/o.scrn", "sub dir/two  blanks/o.scrn"},
        {z + "/sub dir/in put.wbmp", z + "\\sub dir\\a b.scrn", "sub dir/a b.scrn"},
        {"\\\\?\\" + z + "/in.wbmp", "\\\\?\\" + z + "/sub dir/q.scrn", "sub dir/q.scrn"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.in + " -> " + row.out);
        expect_converted(scratch.run({row.in, row.out}), scratch.dir() / row.written);
    }
    expect_refused_input(scratch.run({"sub dir\\no such.wbmp", "out.scrn"}), "sub dir\\no such.wbmp");
}

// The ANSI file functions take at most MAX_PATH (260) characters. A longer
// name is refused by the system, never cut: nothing appears under a shorter
// name, though the directory that a cut name would land in exists.
TEST_F(Win32, PathsLongerThanMaxPath)
{
    const std::string dir(200, 'd');
    fs::create_directory(scratch / dir);
    const std::string long_input = dir + "/" + std::string(100, 'i') + ".wbmp";
    const std::string long_output = dir + "/" + std::string(100, 'o') + ".scrn";
    write_file(scratch / long_input, input);
    const std::set<std::string> before = tree(scratch.dir());

    expect_refused_input(scratch.run({long_input, "out.scrn"}), long_input);
    expect_refused_output(scratch.run({"in.wbmp", long_output}), long_output);
    EXPECT_EQ(tree(scratch.dir()), before);

    // Just under the limit the whole name is used, not its first 254 characters.
    const std::string near_limit = dir + "/" + std::string(53, 'n') + ".scrn";
    ASSERT_EQ(near_limit.size(), 259u);
    expect_converted(scratch.run({"in.wbmp", near_limit}), scratch / near_limit);
}

// Sizes are 64-bit: inputs of 2 GiB and more pass the length check (sparse
// files; the output, a directory, is then refused, so nothing is copied).
// 4 GiB - 1 is a length whose low word is what SetFilePointer also returns
// for a failure.
TEST_F(Win32, InputsOfTwoGigabytesAndMore)
{
    fs::create_directory(scratch / "adir");
    for (const std::uintmax_t length : {0x8000'0002ull, 0xFFFF'FFFFull, 0x1'0000'0002ull}) {
        SCOPED_TRACE(length);
        std::error_code error;
        fs::resize_file(scratch / "in.wbmp", length, error);
        if (error) GTEST_SKIP() << "cannot make a sparse file of " << length << " bytes: " << error.message();
        const Result result = scratch.run({"in.wbmp", "adir"});
        EXPECT_EQ(result.status, 4);
        EXPECT_EQ(result.out, "Can't write to output file: adir\r\n");
        EXPECT_EQ(result.err, "");
    }
}

// Devices: NUL is a character device, left open at the end; a full device
// fails the copy's write.
TEST_F(Win32, Devices)
{
    const Result to_nul = scratch.run({"in.wbmp", "NUL"});
    EXPECT_EQ(to_nul.status, 0);
    EXPECT_EQ(to_nul.out, done);
    EXPECT_EQ(tree(scratch.dir()), std::set<std::string>{"in.wbmp"});
    const Result too_short = scratch.run({"NUL", "out.scrn"});
    EXPECT_EQ(too_short.status, 3);
    EXPECT_EQ(too_short.out, "Input file is too short!\r\n");

    const Result full = scratch.run({"in.wbmp", "/dev/full"});
    EXPECT_EQ(full.status, 112);
    EXPECT_EQ(full.out.rfind("Runtime error 112 at 0x004010B0\r\n", 0), 0u) << full.out;
    EXPECT_EQ(full.err, "");
}

bool on_path(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    for (std::size_t start = 0, end; start <= dirs.size(); start = end + 1) {
        end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        if (access((dirs.substr(start, end - start) + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Read-only files cannot be opened for writing. Wine lets root open them all
// the same, so as root the case runs as an unprivileged user, with a copy of
// the program and a wine prefix of that user's own.
class ReadOnly : public Win32 {
protected:
    void SetUp() override
    {
        Win32::SetUp();
        if (IsSkipped() || geteuid() != 0) return;
        if (!on_path("setpriv")) GTEST_SKIP() << "running as root and setpriv is missing";
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr) GTEST_SKIP() << "running as root and there is no user nobody";
        uid_ = nobody->pw_uid;
        gid_ = nobody->pw_gid;

        const fs::path top = scratch.dir().parent_path();
        const fs::path home = top / "home";
        fs::permissions(top, fs::perms::others_exec, fs::perm_options::add);
        fs::create_directory(home);
        fs::copy_file(g_program, home / "imgstrip.exe");
        for (const fs::path& path : {home, home / "imgstrip.exe", scratch.dir(), scratch / "in.wbmp"}) {
            ASSERT_EQ(chown(path.c_str(), uid_, gid_), 0) << path;
        }
        as_user_ = {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
                    "--clear-groups", "env", "HOME=" + home.string(), "WINEPREFIX=" + (home / "prefix").string()};
        ASSERT_EQ(run_quietly(home, user_words({"wineboot", "-i"})), 0);
        saved_runner_ = g_runner;
        saved_program_ = g_program;
        g_runner = user_words(g_runner);
        g_program = (home / "imgstrip.exe").string();
    }
    void TearDown() override
    {
        if (as_user_.empty()) return;
        g_runner = saved_runner_;
        g_program = saved_program_;
        (void)run_quietly(scratch.dir(), user_words({"wineserver", "-k"}));
    }
    std::vector<std::string> user_words(std::vector<std::string> words) const
    {
        words.insert(words.begin(), as_user_.begin(), as_user_.end());
        return words;
    }
    void make_read_only(const fs::path& path)
    {
        if (!as_user_.empty()) {
            ASSERT_EQ(chown(path.c_str(), uid_, gid_), 0);
        }
        fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }

    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::vector<std::string> as_user_;
    std::vector<std::string> saved_runner_;
    std::string saved_program_;
};

TEST_F(ReadOnly, InputAndOutput)
{
    const Bytes old = {'o', 'l', 'd'};
    write_file(scratch / "old.scrn", old);
    make_read_only(scratch / "old.scrn");
    const Result output = scratch.run({"in.wbmp", "old.scrn"});
    expect_refused_output(output, "old.scrn");
    EXPECT_EQ(read_file(scratch / "old.scrn"), old);

    make_read_only(scratch / "in.wbmp");
    expect_refused_input(scratch.run({"in.wbmp", "out.scrn"}), "in.wbmp");
}

}  // namespace
