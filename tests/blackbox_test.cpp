// Black-box tests: the built program run as a user runs it, in a scratch
// directory per case, checking its exit status, the exact bytes on standard
// output, that standard error stays empty, and the files it leaves.
//
//   blackbox_tests --program PATH [--runner CMD]...
//
// With a runner (such as wine) the same cases run against a Windows build;
// cases that only this platform can provoke are skipped there.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

std::string g_program;
std::vector<std::string> g_runner;

bool native() { return g_runner.empty(); }

Bytes read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string read_text(const fs::path& path)
{
    const Bytes bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

void write_file(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes wbmp(int width, int rows)
{
    Bytes image = {0, 0, static_cast<unsigned char>(width), static_cast<unsigned char>(rows)};
    for (int i = 0; i < width / 8 * rows; ++i) image.push_back(static_cast<unsigned char>(i * 37 + 11));
    return image;
}

Bytes tail(const Bytes& input) { return Bytes(input.begin() + 2, input.end()); }

enum class Stdout { file, dev_full, closed, broken_pipe, output_file };

struct Result {
    int status = -1;  // exit status, or 1000 + signal number
    std::string out;
    std::string err;
};

// A scratch directory for one case; the program runs inside it.
class Scratch {
public:
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "imgstrip-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        fs::create_directory(root_ / "work");
    }
    ~Scratch()
    {
        std::error_code ignored;
        fs::permissions(root_ / "work", fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }
    fs::path dir() const { return root_ / "work"; }
    fs::path operator/(const std::string& name) const { return dir() / name; }

    Result run(const std::vector<std::string>& args, Stdout how = Stdout::file,
               const std::string& output_name = "") const
    {
        const fs::path out = how == Stdout::output_file ? dir() / output_name : root_ / "stdout";
        const fs::path err = root_ / "stderr";
        int pipe_fds[2] = {-1, -1};
        if (how == Stdout::broken_pipe) {
            EXPECT_EQ(pipe(pipe_fds), 0);
            close(pipe_fds[0]);  // the reader is gone before the first write
        }
        std::vector<std::string> words = g_runner;
        words.push_back(g_program);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);

        const pid_t pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_DFL);
            if (chdir(dir().c_str()) != 0) _exit(126);
            const int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(e, 2);
            switch (how) {
            case Stdout::file:
            case Stdout::output_file:
                dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
                break;
            case Stdout::dev_full: dup2(open("/dev/full", O_WRONLY), 1); break;
            case Stdout::closed: close(1); break;
            case Stdout::broken_pipe: dup2(pipe_fds[1], 1); break;
            }
            for (int fd = 3; fd < 64; ++fd) close(fd);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (pipe_fds[1] >= 0) close(pipe_fds[1]);
        int status = 0;
        waitpid(pid, &status, 0);
        Result result;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
        if (how == Stdout::file) result.out = read_text(out);
        result.err = read_text(err);
        return result;
    }

private:
    fs::path root_;
};

const std::string usage = "Usage: imgstrip input.wbmp output.scrn\r\n";
const std::string too_short = "Input file is too short!\r\n";
const std::string wrong_width =
    "Wrong x size!\r\nThis must be multiple of 8 (8,16,24,...) and no more than 240 pixels\r\n";
const std::string done = "Done...\r\n";

// What a case expects of out.scrn afterwards.
enum class Output { absent, unchanged, empty, converted };

struct Case {
    const char* name;
    std::vector<std::string> args;
    std::optional<Bytes> input;     // written to in.wbmp
    std::optional<Bytes> existing;  // written to out.scrn before the run
    std::string out;
    int status;
    Output output;
};

const Bytes old_output = {'o', 'l', 'd'};
const std::string long_name(300, 'n');

const Case cases[] = {
    {"no_arguments", {}, wbmp(8, 1), std::nullopt, usage, 1, Output::absent},
    {"one_argument", {"in.wbmp"}, wbmp(8, 1), std::nullopt, usage, 1, Output::absent},
    {"three_arguments", {"in.wbmp", "out.scrn", "x"}, wbmp(8, 1), old_output, usage, 1, Output::unchanged},
    {"missing_input", {"missing.wbmp", "out.scrn"}, std::nullopt, std::nullopt,
     "Can't open input file: missing.wbmp\r\n", 2, Output::absent},
    {"input_in_missing_directory", {"nodir/in.wbmp", "out.scrn"}, std::nullopt, std::nullopt,
     "Can't open input file: nodir/in.wbmp\r\n", 2, Output::absent},
    {"input_is_a_directory", {"adir", "out.scrn"}, std::nullopt, std::nullopt,
     "Can't open input file: adir\r\n", 2, Output::absent},
    {"option_is_a_path", {"-h", "out.scrn"}, std::nullopt, std::nullopt,
     "Can't open input file: -h\r\n", 2, Output::absent},
    {"empty_input_argument", {"", "out.scrn"}, std::nullopt, std::nullopt,
     "Can't open input file: \r\n", 2, Output::absent},
    {"empty_input", {"in.wbmp", "out.scrn"}, Bytes{}, std::nullopt, too_short, 3, Output::absent},
    {"three_byte_input", {"in.wbmp", "out.scrn"}, Bytes{0, 0, 8}, old_output, too_short, 3, Output::unchanged},
    {"output_is_a_directory", {"in.wbmp", "adir"}, wbmp(8, 2), std::nullopt,
     "Can't write to output file: adir\r\n", 4, Output::absent},
    {"output_in_missing_directory", {"in.wbmp", "nodir/" + long_name}, wbmp(8, 2), std::nullopt,
     "Can't write to output file: nodir/" + long_name + "\r\n", 4, Output::absent},
    {"empty_output_argument", {"in.wbmp", ""}, wbmp(8, 2), std::nullopt,
     "Can't write to output file: \r\n", 4, Output::absent},
    {"same_path_twice", {"in.wbmp", "in.wbmp"}, wbmp(8, 2), std::nullopt,
     "Can't write to output file: in.wbmp\r\n", 4, Output::absent},
    {"width_0", {"in.wbmp", "out.scrn"}, Bytes{0, 0, 0, 1, 9}, old_output, wrong_width, 5, Output::empty},
    {"width_4", {"in.wbmp", "out.scrn"}, Bytes{0, 0, 4, 1, 9}, std::nullopt, wrong_width, 5, Output::empty},
    {"width_12", {"in.wbmp", "out.scrn"}, Bytes{0, 0, 12, 1, 9}, std::nullopt, wrong_width, 5, Output::empty},
    {"width_248", {"in.wbmp", "out.scrn"}, Bytes{0, 0, 248, 1, 9}, old_output, wrong_width, 5, Output::empty},
    {"two_byte_width", {"in.wbmp", "out.scrn"}, Bytes{0, 0, 0x81, 0x70, 0x01, 0xFF}, std::nullopt,
     wrong_width, 5, Output::empty},
    {"four_bytes", {"in.wbmp", "out.scrn"}, Bytes{0, 0, 8, 5}, std::nullopt, done, 0, Output::converted},
    {"width_8", {"in.wbmp", "out.scrn"}, wbmp(8, 3), old_output, done, 0, Output::converted},
    {"width_64_two_rows", {"in.wbmp", "out.scrn"}, wbmp(64, 2), std::nullopt, done, 0, Output::converted},
    {"width_240", {"in.wbmp", "out.scrn"}, wbmp(240, 255), std::nullopt, done, 0, Output::converted},
    {"width_byte_136", {"in.wbmp", "out.scrn"}, Bytes{0, 0, 0x88, 0x10, 1, 2, 3}, std::nullopt, done, 0,
     Output::converted},
    {"any_header_bytes", {"in.wbmp", "out.scrn"}, Bytes{0xFF, 0x80, 16, 1, 0xAA, 0x55, 7}, std::nullopt,
     done, 0, Output::converted},
    {"large_input", {"in.wbmp", "out.scrn"}, Bytes(1'000'003, 0x40), std::nullopt, done, 0,
     Output::converted},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class Conversion : public ::testing::TestWithParam<Case> {};

TEST_P(Conversion, BehavesAsTheTableSays)
{
    const Case& c = GetParam();
    Scratch scratch;
    fs::create_directory(scratch / "adir");
    if (c.input) write_file(scratch / "in.wbmp", *c.input);
    if (c.existing) write_file(scratch / "out.scrn", *c.existing);

    const Result result = scratch.run(c.args);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");

    if (c.input) {
        EXPECT_EQ(read_file(scratch / "in.wbmp"), *c.input) << "the input changed";
    }
    const fs::path output = scratch / "out.scrn";
    switch (c.output) {
    case Output::absent: EXPECT_FALSE(fs::exists(output)); break;
    case Output::unchanged: EXPECT_EQ(read_file(output), *c.existing); break;
    case Output::empty:
        ASSERT_TRUE(fs::exists(output));
        EXPECT_EQ(fs::file_size(output), 0u);
        break;
    case Output::converted: EXPECT_EQ(read_file(output), tail(*c.input)); break;
    }
    // Nothing else appears in the directory.
    for (const auto& entry : fs::directory_iterator(scratch.dir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "in.wbmp" || name == "out.scrn" || name == "adir") << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Conversion, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Paths, WithBlanksAndQuotesAndBothSeparators)
{
    Scratch scratch;
    fs::create_directory(scratch / "sub dir");
    const Bytes input = wbmp(32, 5);
    write_file(scratch / "sub dir" / "in put.wbmp", input);
    const Result result = scratch.run({"sub dir/in put.wbmp", "out 'x'.scrn"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, done);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read_file(scratch / "out 'x'.scrn"), tail(input));
}

// Cases only a POSIX build meets: links, descriptors, locks of this platform.
class Posix : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!native()) GTEST_SKIP() << "provoked only on the native platform";
        write_file(scratch / "in.wbmp", input);
    }
    void expect_refused_output(const Result& result, const std::string& name)
    {
        EXPECT_EQ(result.status, 4);
        EXPECT_EQ(result.out, "Can't write to output file: " + name + "\r\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(read_file(scratch / "in.wbmp"), input);
    }

    Scratch scratch;
    const Bytes input = wbmp(16, 20);
};

TEST_F(Posix, OutputThatIsTheInputByAnotherName)
{
    fs::create_symlink("in.wbmp", scratch / "link.scrn");
    fs::create_hard_link(scratch / "in.wbmp", scratch / "hard.scrn");
    for (const std::string name : {"link.scrn", "hard.scrn", "./in.wbmp", "../work/in.wbmp"}) {
        SCOPED_TRACE(name);
        expect_refused_output(scratch.run({"in.wbmp", name}), name);
    }
}

TEST_F(Posix, OutputThatIsItsOwnStandardOutput)
{
    write_file(scratch / "out.scrn", {});
    const Result result = scratch.run({"in.wbmp", "out.scrn"}, Stdout::output_file, "out.scrn");
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(read_text(scratch / "out.scrn"), "Can't write to output file: out.scrn\r\n");
    EXPECT_EQ(read_file(scratch / "in.wbmp"), input);
}

TEST_F(Posix, FilesHeldByAnotherProgram)
{
    write_file(scratch / "held.scrn", {1, 2, 3});
    for (const std::string name : {"in.wbmp", "held.scrn"}) {
        const int fd = open((scratch / name).c_str(), O_RDONLY);
        ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        const Result result = name == "in.wbmp" ? scratch.run({"in.wbmp", "out.scrn"})
                                                : scratch.run({"in.wbmp", "held.scrn"});
        close(fd);
        if (name == "in.wbmp") {
            EXPECT_EQ(result.status, 2);
            EXPECT_EQ(result.out, "Can't open input file: in.wbmp\r\n");
            EXPECT_FALSE(fs::exists(scratch / "out.scrn"));
        } else {
            expect_refused_output(result, name);
            EXPECT_EQ(read_file(scratch / "held.scrn"), (Bytes{1, 2, 3}));
        }
    }
}

TEST_F(Posix, StandardOutputThatCannotBeWritten)
{
    for (const Stdout how : {Stdout::dev_full, Stdout::closed, Stdout::broken_pipe}) {
        SCOPED_TRACE(static_cast<int>(how));
        fs::remove(scratch / "out.scrn");
        const Result result = scratch.run({"in.wbmp", "out.scrn"}, how);
        EXPECT_EQ(result.status, 101);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(read_file(scratch / "out.scrn"), tail(input));  // the conversion itself completed
        EXPECT_EQ(read_file(scratch / "in.wbmp"), input);
        // A refusal whose line cannot be written ends the same way.
        EXPECT_EQ(scratch.run({}, how).status, 101);
    }
}

TEST_F(Posix, OutputDeviceThatIsFull)
{
    const Result result = scratch.run({"in.wbmp", "/dev/full"});
    EXPECT_EQ(result.status, 112);
    EXPECT_EQ(result.out.rfind("Runtime error 112 at 0x", 0), 0u) << result.out;
    EXPECT_EQ(result.err, "");
}

TEST_F(Posix, NewOutputGetsTheUsualPermissions)
{
    const mode_t old = umask(027);
    const Result result = scratch.run({"in.wbmp", "out.scrn"});
    umask(old);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(fs::status(scratch / "out.scrn").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--program") g_program = fs::absolute(argv[++i]).string();
        else if (flag == "--runner") g_runner.push_back(argv[++i]);
    }
    if (g_program.empty() && !::testing::GTEST_FLAG(list_tests)) {
        fprintf(stderr, "usage: blackbox_tests --program PATH [--runner CMD]...\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
