#include "imgstrip.h"

#include <string_view>

#include "io/byte_file.h"
#include "io/console.h"
#include "io/os.h"

namespace imgstrip {
namespace {

io::ByteFile WE;  // the input image
io::ByteFile WY;  // the screen image file
unsigned char B;  // the width byte, then the byte being copied

void check(Location where) { io::check(where, entry); }

void say(std::string_view text, std::string_view argument, Location where)
{
    io::write_text(text);
    io::write_text(argument);
    io::end_line();
    check(where);
}

bool width_accepted(unsigned char width) { return width != 0 && width % 8 == 0 && width <= 240; }

}  // namespace

void run(const std::vector<std::string>& args)
{
    if (args.size() != 2) {
        say("Usage: imgstrip input.wbmp output.scrn", "", at_usage_line);
        io::exit(1);
    }

    io::bind(WE, args[0]);
    io::open_existing(WE);
    if (io::take_code() != 0) {
        say("Can't open input file: ", args[0], at_input_line);
        io::exit(2);
    }

    const std::int64_t length = io::size(WE);
    check(at_size);
    if (length < 4) {
        say("Input file is too short!", "", at_short_line);
        io::exit(3);
    }

    io::bind(WY, args[1]);
    io::create(WY);
    if (io::take_code() != 0) {
        say("Can't write to output file: ", args[1], at_output_line);
        io::exit(4);
    }

    // Offsets 0 and 1 are skipped unexamined; offset 2 is the width.
    io::read(WE, B);
    check(at_header_read_1);
    io::read(WE, B);
    check(at_header_read_2);
    io::read(WE, B);
    check(at_header_read_3);

    if (!width_accepted(B)) {
        say("Wrong x size!", "", at_width_line_1);
        say("This must be multiple of 8 (8,16,24,...) and no more than 240 pixels", "", at_width_line_2);
        io::exit(5);
    }

    // Handed over at once, so that a failure to store it is reported here.
    io::write_run(WY, std::span(&B, 1));
    check(at_width_write);

    // The rest is copied unchanged, as runs of bytes through the input's
    // buffer; the end test comes before every read.
    for (;;) {
        const bool end = io::at_end(WE);
        check(at_end_test);
        if (end) break;
        const std::span<const unsigned char> bytes = io::read_run(WE);
        check(at_copy_read);
        io::write_run(WY, bytes);
        check(at_copy_write);
    }

    io::close(WE);
    check(at_input_close);
    io::close(WY);
    check(at_output_close);

    say("Done...", "", at_done_line);
    io::exit(0);
}

void start(int argc, char** argv) { run(os::start(argc, argv)); }

}  // namespace imgstrip
