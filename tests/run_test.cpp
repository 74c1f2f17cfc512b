// Whole conversions run in-process through the stand-in seam.
#include <cstdio>

#include <gtest/gtest.h>

#include "expected.h"
#include "fake_os.h"
#include "imgstrip.h"
#include "io/byte_file.h"

namespace {

using Bytes = std::vector<unsigned char>;
using namespace expected;

class Run : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { EXPECT_FALSE(fake::world().called_while_pending); }

    fake::World& world() { return fake::world(); }
    bool exists(const std::string& path) { return world().files.count(path) != 0; }
    // The file's bytes; none if it does not exist.
    Bytes data(const std::string& path) { return exists(path) ? world().files.at(path).data : Bytes{}; }
};

TEST_F(Run, UsageUnlessExactlyTwoArgumentsAndNoFileTouched)
{
    fake::put_file("a", wbmp(8, 1));
    fake::put_file("b", wbmp(8, 1));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"a"}, {"a", "b", "c"}, {"a", "b", "c", "d"}}) {
        SCOPED_TRACE(args.size());
        world().console.clear();
        world().calls.clear();
        EXPECT_EQ(fake::run(args), 1);
        EXPECT_EQ(world().console, usage);
        EXPECT_EQ(world().calls, std::vector<fake::Call>{fake::Call::console_write});
    }
}

TEST_F(Run, ConvertsTheSmallestImage)
{
    fake::put_file("in", fake::bytes({0x00, 0x00, 0x08, 0x05}));
    EXPECT_EQ(fake::run({"in", "out"}), 0);
    EXPECT_EQ(world().console, done);
    EXPECT_EQ(data("out"), fake::bytes({0x08, 0x05}));
    EXPECT_EQ(world().files.at("in").writes, 0);
}

TEST_F(Run, OutputIsTheInputWithoutItsFirstTwoBytes)
{
    // Sizes around the buffer's edges, header bytes that are not WBMP's, a truncated row.
    Bytes odd_header = wbmp(64, 2);
    odd_header[0] = 0xFF;
    odd_header[1] = 0x7E;
    Bytes truncated = wbmp(240, 3);
    truncated.pop_back();
    Bytes trailing = wbmp(16, 4);
    trailing.insert(trailing.end(), {1, 2, 3});
    const Bytes inputs[] = {wbmp(64, 2), odd_header, truncated, trailing, wbmp(8, 127),
                            Bytes(io::buffer_size - 1, 0x08), Bytes(io::buffer_size, 0x08),
                            Bytes(io::buffer_size + 1, 0x08), Bytes(3 * io::buffer_size + 17, 0xF0)};
    for (const Bytes& input : inputs) {
        SCOPED_TRACE(input.size());
        fake::reset();
        fake::put_file("in", input);
        EXPECT_EQ(fake::run({"in", "out"}), 0);
        EXPECT_EQ(world().console, done);
        EXPECT_EQ(data("out"), tail(input));
        EXPECT_EQ(data("in"), input);
    }
    EXPECT_EQ(tail(wbmp(64, 2)).size(), 18u);
}

TEST_F(Run, ShortTransfersAreContinued)
{
    const Bytes input = wbmp(240, 40);
    for (const std::size_t limit : {1u, 7u, 255u}) {
        SCOPED_TRACE(limit);
        fake::reset();
        fake::put_file("in", input);
        world().transfer_limit = limit;
        EXPECT_EQ(fake::run({"in", "out"}), 0);
        EXPECT_EQ(world().console, done);
        EXPECT_EQ(data("out"), tail(input));
    }
}

TEST_F(Run, WidthRule)
{
    // width byte, accepted
    const struct {
        int width;
        bool accepted;
    } cases[] = {{0, false}, {4, false}, {7, false}, {12, false}, {129, false}, {248, false},
                 {255, false}, {8, true}, {16, true}, {120, true}, {128, true}, {136, true},
                 {240, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        fake::reset();
        const Bytes input = {0, 0, static_cast<unsigned char>(c.width), 1, 0xAA, 0x55};
        fake::put_file("in", input);
        fake::put_file("out", fake::bytes({9, 9, 9}));
        const int status = fake::run({"in", "out"});
        if (c.accepted) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(data("out"), tail(input));
        } else {
            EXPECT_EQ(status, 5);
            EXPECT_EQ(world().console, wrong_width);
            EXPECT_TRUE(data("out").empty());  // created and cut, nothing written
        }
    }
}

TEST_F(Run, TooShortInputLeavesTheOutputAlone)
{
    for (const std::size_t length : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(length);
        fake::reset();
        fake::put_file("in", Bytes(length, 8));
        fake::put_file("kept", fake::bytes({1, 2, 3}));
        EXPECT_EQ(fake::run({"in", "kept"}), 3);
        EXPECT_EQ(fake::run({"in", "absent"}), 3);
        EXPECT_EQ(world().console, too_short + too_short);
        EXPECT_EQ(data("kept"), fake::bytes({1, 2, 3}));
        EXPECT_FALSE(exists("absent"));
    }
}

TEST_F(Run, InputThatCannotBeOpened)
{
    fake::put_file("held", wbmp(8, 2)).held_elsewhere = true;
    world().directories.push_back("dir");
    for (const std::string input : {"missing", "held", "dir", ""}) {
        SCOPED_TRACE(input);
        world().console.clear();
        EXPECT_EQ(fake::run({input, "out"}), 2);
        EXPECT_EQ(world().console, "Can't open input file: " + input + "\r\n");
        EXPECT_FALSE(exists("out"));
    }
}

TEST_F(Run, OutputThatCannotBeCreated)
{
    const Bytes input = wbmp(8, 2);
    fake::put_file("in", input);
    fake::put_file("held", fake::bytes({7})).held_elsewhere = true;
    world().directories.push_back("dir");
    for (const std::string output : {"held", "dir", "in"}) {
        SCOPED_TRACE(output);
        world().console.clear();
        EXPECT_EQ(fake::run({"in", output}), 4);
        EXPECT_EQ(world().console, "Can't write to output file: " + output + "\r\n");
    }
    EXPECT_EQ(data("in"), input);
    EXPECT_EQ(data("held"), fake::bytes({7}));
}

TEST_F(Run, MessagesLongerThanTheLineBufferComeOutWhole)
{
    fake::put_file("in", wbmp(8, 2));
    const std::string output(600, 'p');
    world().directories.push_back(output);
    world().transfer_limit = 100;
    EXPECT_EQ(fake::run({"in", output}), 4);
    EXPECT_EQ(world().console, "Can't write to output file: " + output + "\r\n");
}

TEST_F(Run, FailedChecksEndInTheFatalReport)
{
    using fake::Call;
    const Bytes input = wbmp(16, 3);
    // the failing call's kind and which of its kind, its code, the check that reports it,
    // the exit status, and how much of the output is written
    const struct {
        Call call;
        int nth;
        io::Code code;
        std::uint32_t where;
        int status;
        std::size_t written;
    } cases[] = {
        {Call::size, 1, 132, imgstrip::at_size, 132, 0},
        {Call::read, 1, 161, imgstrip::at_header_read_1, 100, 0},   // a failed read is 100
        {Call::write, 1, 112, imgstrip::at_width_write, 112, 0},
        {Call::write, 1, 300, imgstrip::at_width_write, 44, 0},
        {Call::write, 1, 256, imgstrip::at_width_write, 255, 0},    // never reported as success
        {Call::write, 2, 112, imgstrip::at_copy_write, 112, 1},
        {Call::size, 2, 5, imgstrip::at_end_test, 5, input.size() - 2},
        {Call::close, 1, 6, imgstrip::at_input_close, 6, input.size() - 2},
        {Call::close, 2, 162, imgstrip::at_output_close, 162, input.size() - 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(fake::name_of(c.call)) + " " + std::to_string(c.nth) + " " +
                     std::to_string(c.code));
        fake::reset();
        fake::put_file("in", input);
        // Find the call's place in a clean run, then make that call fail.
        ASSERT_EQ(fake::run({"in", "out"}), 0);
        int at = 0, seen = 0;
        for (std::size_t i = 0; i < world().calls.size() && at == 0; ++i)
            if (world().calls[i] == c.call && ++seen == c.nth) at = static_cast<int>(i) + 1;
        ASSERT_NE(at, 0);

        fake::reset();
        fake::put_file("in", input);
        world().fault = {at, false, c.code};
        EXPECT_EQ(fake::run({"in", "out"}), c.status);
        EXPECT_EQ(world().console, report(c.code == 161 ? 100 : c.code, c.where));
        EXPECT_EQ(data("out"), Bytes(input.begin() + 2, input.begin() + 2 + static_cast<long>(c.written)));
    }
}

TEST_F(Run, ReadThatObtainsNoByteIs100)
{
    // The file says it is longer than it is, as one cut short under the run would.
    fake::put_file("in", fake::bytes({0, 0, 8, 1, 2})).size_bias = 1;
    EXPECT_EQ(fake::run({"in", "out"}), 100);
    EXPECT_EQ(world().console, report(100, imgstrip::at_copy_read));
    EXPECT_EQ(data("out"), fake::bytes({8, 1, 2}));  // every byte written before the failing read

    // Cut short right after the width byte.
    fake::reset();
    fake::put_file("in", fake::bytes({0, 0, 8})).size_bias = 1;
    EXPECT_EQ(fake::run({"in", "out"}), 100);
    EXPECT_EQ(world().console, report(100, imgstrip::at_copy_read));
    EXPECT_EQ(data("out"), fake::bytes({8}));

    fake::reset();
    fake::put_file("in", fake::bytes({0, 0})).size_bias = 2;
    EXPECT_EQ(fake::run({"in", "out"}), 100);
    EXPECT_EQ(world().console, report(100, imgstrip::at_header_read_3));
    EXPECT_TRUE(data("out").empty());
}

TEST_F(Run, ConsoleFailureIs101)
{
    fake::put_file("in", wbmp(8, 2));
    // The "Done..." line fails, and so do the report's own lines.
    world().fault = {0};
    ASSERT_EQ(fake::run({"in", "out"}), 0);
    const int last = static_cast<int>(world().calls.size());
    for (const bool persist : {true, false}) {
        SCOPED_TRACE(persist);
        fake::reset();
        fake::put_file("in", wbmp(8, 2));
        world().fault = {last, persist, 0};
        EXPECT_EQ(fake::run({"in", "out"}), 101);
        EXPECT_EQ(world().console, persist ? "" : report(101, imgstrip::at_done_line));
        EXPECT_EQ(data("out"), tail(wbmp(8, 2)));  // the output is complete
    }

    // A refusal whose line cannot be written ends in 101 too, not in its own status.
    fake::reset();
    world().fault = {1, true, 0};
    EXPECT_EQ(fake::run({}), 101);
}

}  // namespace
