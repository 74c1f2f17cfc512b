// The program's behaviour, case by case, as a user meets it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <ostream>

#include <gtest/gtest.h>

#include "blackbox.h"

namespace {

using namespace blackbox;

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

TEST(StandardOutput, ThatCannotBeWritten)
{
    Scratch scratch;
    const Bytes input = wbmp(16, 20);
    write_file(scratch / "in.wbmp", input);
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

TEST_F(Posix, InputThatIsItsOwnStandardOutput)
{
    // As on Windows, where the shell's open of the file keeps the input from being held.
    const Result result = scratch.run({"in.wbmp", "out.scrn"}, Stdout::appended_file, "in.wbmp");
    EXPECT_EQ(result.status, 2);
    const std::string message = "Can't open input file: in.wbmp\r\n";
    Bytes expected = input;
    expected.insert(expected.end(), message.begin(), message.end());
    EXPECT_EQ(read_file(scratch / "in.wbmp"), expected);
    EXPECT_FALSE(fs::exists(scratch / "out.scrn"));
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
