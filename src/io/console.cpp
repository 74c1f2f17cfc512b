#include "io/console.h"

#include <cstddef>

#include "io/byte_file.h"
#include "io/os.h"

namespace io {
namespace {

struct LineWriter {
    unsigned char buffer[256];
    std::size_t fill = 0;
};

LineWriter g_lines;   // the run's messages
LineWriter g_report;  // the fatal report; the run's writer is empty at every check

// Writes the buffer out and empties it. A short write is continued; a
// failed one, or one that stores nothing, is 101.
void write_out(LineWriter& writer)
{
    const unsigned char* data = writer.buffer;
    std::size_t count = writer.fill;
    writer.fill = 0;
    while (count > 0) {
        std::size_t done = 0;
        if (os::console_write(data, count, done) != 0 || done == 0) {
            fail(console_failed);
            return;
        }
        data += done;
        count -= done;
    }
}

void put(LineWriter& writer, std::string_view text)
{
    for (const char c : text) {
        if (pending()) return;
        if (writer.fill == sizeof writer.buffer) write_out(writer);
        writer.buffer[writer.fill++] = static_cast<unsigned char>(c);
    }
}

void put_line_end(LineWriter& writer)
{
    if (pending()) return;
    put(writer, "\r\n");
    write_out(writer);
}

// "0x" and eight upper-case hexadecimal digits.
void put_location(LineWriter& writer, Location location)
{
    char text[10] = {'0', 'x'};
    for (int i = 9; i >= 2; --i, location >>= 4) text[i] = "0123456789ABCDEF"[location & 0xF];
    put(writer, std::string_view(text, sizeof text));
}

void put_decimal(LineWriter& writer, Code code)
{
    char text[5];
    std::size_t start = sizeof text;
    do {
        text[--start] = static_cast<char>('0' + code % 10);
        code /= 10;
    } while (code != 0);
    put(writer, std::string_view(text + start, sizeof text - start));
}

}  // namespace

void write_text(std::string_view text) { put(g_lines, text); }

void end_line() { put_line_end(g_lines); }

void check(Location where, Location caller)
{
    const Code code = take_code();
    if (code == 0) return;
    flush_after_failure();

    put(g_report, "Runtime error ");
    put_decimal(g_report, code);
    put(g_report, " at ");
    put_location(g_report, where);
    put_line_end(g_report);
    put(g_report, "  ");
    put_location(g_report, where);
    put_line_end(g_report);
    put(g_report, "  ");
    put_location(g_report, caller);
    put_line_end(g_report);
    put_line_end(g_report);
    exit(exit_status(code));
}

void exit(int status) { os::exit(status); }

void reset_console() { g_lines.fill = g_report.fill = 0; }

}  // namespace io
