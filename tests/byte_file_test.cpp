// Checked byte files over the stand-in seam.
#include "io/byte_file.h"

#include <gtest/gtest.h>

#include "fake_os.h"
#include "io/console.h"

namespace {

using Bytes = std::vector<unsigned char>;
using fake::Call;

io::ByteFile f;  // large: kept out of the stack

class ByteFileTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    fake::World& world() { return fake::world(); }
    std::size_t calls() { return world().calls.size(); }

    void open(const std::string& path, Bytes data)
    {
        fake::put_file(path, std::move(data));
        io::bind(f, path);
        io::open_existing(f);
        ASSERT_EQ(io::pending(), 0);
    }
};

TEST_F(ByteFileTest, EndTestAndReadAtTheEnd)
{
    open("empty", {});
    EXPECT_TRUE(io::at_end(f));
    unsigned char target = 42;
    io::read(f, target);
    EXPECT_EQ(io::take_code(), io::read_failed);
    EXPECT_EQ(target, 42);

    open("two", {7, 9});
    EXPECT_FALSE(io::at_end(f));
    io::read(f, target);
    const std::size_t before = calls();
    EXPECT_FALSE(io::at_end(f));  // a byte is buffered: no call needed
    EXPECT_EQ(calls(), before);
    io::read(f, target);
    EXPECT_EQ(target, 9);
    EXPECT_TRUE(io::at_end(f));
    io::read(f, target);
    EXPECT_EQ(io::take_code(), io::read_failed);
    EXPECT_EQ(target, 9);
}

TEST_F(ByteFileTest, NothingHappensWhileACodeIsPending)
{
    open("in", {1, 2, 3, 4});
    io::write(f, 5);
    io::fail(300);
    io::fail(7);  // the first failure counts
    const std::size_t before = calls();
    unsigned char target = 0;
    EXPECT_EQ(io::size(f), 0);
    EXPECT_FALSE(io::at_end(f));
    io::read(f, target);
    EXPECT_TRUE(io::read_run(f).empty());
    io::write(f, 1);
    io::write_run(f, Bytes{1, 2});
    io::close(f);
    io::open_existing(f);
    io::create(f);
    io::write_text("text");
    io::end_line();
    EXPECT_EQ(calls(), before);
    EXPECT_EQ(target, 0);
    EXPECT_EQ(io::take_code(), 300);
    EXPECT_EQ(io::take_code(), 0);
    EXPECT_TRUE(world().console.empty());
}

TEST_F(ByteFileTest, ReadsAndWritesShareOnePosition)
{
    open("f", {10, 11, 12, 13, 14});
    unsigned char b = 0;
    io::read(f, b);                      // the whole file is read ahead
    io::write(f, 21);                    // lands at offset 1, not after the read-ahead
    io::write_run(f, Bytes{22, 23});
    io::read(f, b);                      // the waiting bytes go first
    EXPECT_EQ(b, 14);
    EXPECT_EQ(world().files["f"].data, (Bytes{10, 21, 22, 23, 14}));
    io::write(f, 25);
    EXPECT_EQ(io::size(f), 6);           // counts the byte that waited
    EXPECT_TRUE(io::at_end(f));
    EXPECT_EQ(io::pending(), 0);
}

TEST_F(ByteFileTest, ManySingleBytesGoOverAFullBufferAtATime)
{
    fake::put_file("out", {});
    io::bind(f, "out");
    io::create(f);
    const std::size_t count = 2 * io::buffer_size + 5;
    for (std::size_t i = 0; i < count; ++i) io::write(f, static_cast<unsigned char>(i));
    io::close(f);
    EXPECT_EQ(io::pending(), 0);
    const Bytes& data = world().files["out"].data;
    ASSERT_EQ(data.size(), count);
    EXPECT_EQ(data[io::buffer_size], static_cast<unsigned char>(io::buffer_size));
    EXPECT_EQ(world().files["out"].writes, 3);
}

TEST_F(ByteFileTest, AWriteThatStoresNothingIsAWriteFault)
{
    open("out", {});
    world().transfer_limit = 0;
    io::write_run(f, Bytes{1, 2, 3});
    EXPECT_EQ(io::take_code(), io::write_fault);

    io::write_text("x");
    io::end_line();
    EXPECT_EQ(io::take_code(), io::console_failed);
}

TEST_F(ByteFileTest, CloseReportsBytesThatCannotBeHandedOver)
{
    open("out", {});
    io::write(f, 1);
    world().fault = {static_cast<int>(calls()) + 1, false, 112};
    io::close(f);
    EXPECT_EQ(io::take_code(), 112);
    EXPECT_EQ(world().calls.back(), Call::write);  // no close call while the code is pending
}

TEST_F(ByteFileTest, AFailedCheckHandsOverWhatWaitsFirst)
{
    open("out", {});
    io::write(f, 1);
    io::write(f, 2);
    io::fail(100);
    try {
        io::check(0x1234, 0x10);
        FAIL() << "check returned";
    } catch (const fake::Exit& exit) {
        EXPECT_EQ(exit.status, 100);
    }
    EXPECT_EQ(world().files["out"].data, (Bytes{1, 2}));
    EXPECT_EQ(world().console, "Runtime error 100 at 0x00001234\r\n  0x00001234\r\n  0x00000010\r\n\r\n");
}

}  // namespace
