// Whole conversions of arbitrary input, run in-process through the stand-in
// seam, with the arguments, the files around the run, an injected fault and
// short transfers chosen by the leading bytes:
//
//   [0] bits 0-1: the argument count (0 to 3); bits 2-4 and 5-7: the input
//       and the output name, from `names`
//   [1] bit 0: the input exists; bit 1: the output exists beforehand;
//       bit 2: the input claims one byte more than it holds;
//       bit 3: the input is padded past the file buffer
//   [2] the seam call that fails, counted from 1 (0: none)
//   [3] bits 0-3: its code, from `codes`; bit 7: every later call fails too
//   [4] bytes per transfer, in kibibytes for a padded input (0: no limit)
//   the rest: the input's bytes
//
// A run that the fault never reached must give exactly the outcome that its
// setting calls for. Any run must end in a message of its own status or in a
// fatal report whose code the failing calls can explain; only the output is
// ever written, and it only ever holds a beginning of the input without its
// first two bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"
#include "fake_os.h"
#include "fuzz_check.h"
#include "imgstrip.h"
#include "io/byte_file.h"

namespace {

using Bytes = std::vector<unsigned char>;
using fake::Call;

const std::string names[] = {"in", "out", "", "dir", "held", "-o", "x y", std::string(300, 'L')};
const std::string directory = "dir";      // opening it fails
const std::string held = "held";          // another program holds it
const os::Code codes[] = {0, 2, 5, 100, 101, 112, 132, 160, 161, 162, 232, 256, 300, 357, 1921, 65535};

using expected::done;
using expected::report;
using expected::status_for;
using expected::too_short;
using expected::usage;
using expected::wrong_width;

// The message lines a run with these arguments may write, by status.
std::vector<std::pair<int, std::string>> messages(const std::vector<std::string>& args)
{
    if (args.size() != 2) return {{1, usage}};
    return {{2, "Can't open input file: " + args[0] + "\r\n"},
            {3, too_short},
            {4, "Can't write to output file: " + args[1] + "\r\n"},
            {5, wrong_width},
            {0, done}};
}

// The checks that can find a failure of a call of this kind.
std::vector<std::uint32_t> checks_after(Call call)
{
    using namespace imgstrip;
    switch (call) {
    case Call::open: return {};  // the run takes an open's code itself
    case Call::size: return {at_size, at_end_test};
    case Call::read: return {at_header_read_1, at_header_read_2, at_header_read_3, at_copy_read};
    case Call::seek:
    case Call::write: return {at_width_write, at_copy_write, at_output_close};
    case Call::close: return {at_input_close, at_output_close};
    case Call::console_write:
        return {at_usage_line, at_input_line, at_short_line, at_output_line, at_width_line_1, at_width_line_2,
                at_done_line};
    }
    return {};
}

struct Setup {
    std::vector<std::string> args;
    bool claims_more = false;
    fake::Fault fault;
    std::size_t transfer_limit = 0;
};

struct Outcome {
    int status = 0;
    std::string console;
    bool output_touched = false;
    Bytes output;  // when touched
};

const std::string* output_path(const std::vector<std::string>& args)
{
    return args.size() == 2 && args[1] != args[0] ? &args[1] : nullptr;
}

// What a run in this world gives when no call fails.
Outcome modelled(const Setup& setup, const fake::World& world)
{
    const std::vector<std::string>& args = setup.args;
    if (args.size() != 2) return {1, usage, false, {}};
    const auto input = world.files.find(args[0]);
    if (input == world.files.end() || input->second.held_elsewhere)
        return {2, "Can't open input file: " + args[0] + "\r\n", false, {}};
    const Bytes& data = input->second.data;
    if (data.size() + (setup.claims_more ? 1 : 0) < 4) return {3, too_short, false, {}};
    const auto output = world.files.find(args[1]);
    if (args[1] == directory || args[1] == args[0] || (output != world.files.end() && output->second.held_elsewhere))
        return {4, "Can't write to output file: " + args[1] + "\r\n", false, {}};
    const unsigned char width = data[2];
    if (width == 0 || width % 8 != 0 || width > 240) return {5, wrong_width, true, {}};
    const Bytes tail(data.begin() + 2, data.end());
    // Reading the byte that is not there.
    if (setup.claims_more) return {100, report(100, imgstrip::at_copy_read), true, tail};
    return {0, done, true, tail};
}

// Whether console is a fatal report with one of the codes and places that
// the failing calls explain, and status its code's: the whole report, or what
// of it got out before standard output failed, after a beginning of a message
// line when it was that line that failed.
bool is_report(const std::string& console, int status, const std::vector<std::pair<unsigned, std::uint32_t>>& causes,
               const std::vector<std::pair<int, std::string>>& lines)
{
    for (const auto& [code, where] : causes) {
        if (status_for(code) != status) continue;
        const std::string whole = report(code, where);
        std::vector<std::string> starts = {""};
        if (code == 101)
            for (const auto& line : lines) starts.push_back(line.second);
        for (const std::string& start : starts) {
            for (std::size_t k = 0; k <= std::min(console.size(), start.size()); ++k) {
                if (k > 0 && console[k - 1] != start[k - 1]) break;
                if (k == start.size() && k > 0) break;  // a whole line came out: its check passed
                if (std::string_view(whole).starts_with(std::string_view(console).substr(k))) return true;
            }
        }
    }
    return false;
}

// As many bytes as the file buffer holds, to carry an input past its end.
const Bytes& padding()
{
    static const Bytes bytes = [] {
        Bytes made(io::buffer_size);
        for (std::size_t i = 0; i < made.size(); ++i) made[i] = static_cast<unsigned char>(i * 37 + 11);
        return made;
    }();
    return bytes;
}

Bytes output_bytes(const fake::World& world, const std::string& path, bool& exists)
{
    const auto found = world.files.find(path);
    exists = found != world.files.end();
    return exists ? found->second.data : Bytes{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto byte = [&](std::size_t i) -> unsigned { return i < size ? data[i] : 0U; };
    const std::size_t header = 5;

    fake::reset();
    fake::World& world = fake::world();
    Setup setup;
    const unsigned count = byte(0) & 3U;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned pick = i == 0 ? byte(0) >> 2 & 7U : i == 1 ? byte(0) >> 5 & 7U : 0;
        setup.args.push_back(i < 2 ? names[pick] : "extra");
    }
    const std::string input_name = count > 0 ? setup.args[0] : names[0];
    const std::string output_name = count > 1 ? setup.args[1] : names[1];

    world.directories.push_back(directory);
    fake::put_file(held, {7}).held_elsewhere = true;
    const auto ordinary = [](const std::string& name) { return name != directory && name != held; };
    if ((byte(1) & 1U) != 0 && ordinary(input_name)) {
        Bytes content(data + std::min(size, header), data + size);
        if ((byte(1) & 8U) != 0) content.insert(content.end(), padding().begin(), padding().end());
        fake::File& input = fake::put_file(input_name, std::move(content));
        setup.claims_more = (byte(1) & 4U) != 0;
        input.size_bias = setup.claims_more ? 1 : 0;
    }
    if ((byte(1) & 2U) != 0 && ordinary(output_name) && output_name != input_name) fake::put_file(output_name, {9, 9, 9});
    setup.fault = {static_cast<int>(byte(2)), (byte(3) & 0x80U) != 0, codes[byte(3) & 15U]};
    // A padded input moves in bigger steps, or a run would take thousands of calls.
    const std::size_t step = (byte(1) & 8U) != 0 ? 1024 : 1;
    setup.transfer_limit = byte(4) != 0 ? byte(4) * step : world.transfer_limit;

    const fake::World before = world;
    const Outcome want = modelled(setup, before);
    world.fault = setup.fault;
    world.transfer_limit = setup.transfer_limit;

    const int status = fake::run(setup.args);

    FUZZ_CHECK(!world.called_while_pending);
    FUZZ_CHECK(status >= 0 && status <= 255);

    // Only the output is written, and no other file appears.
    const std::string* output = output_path(setup.args);
    for (const auto& [path, file] : world.files) {
        if (output != nullptr && path == *output) continue;
        const auto earlier = before.files.find(path);
        FUZZ_CHECK(earlier != before.files.end());
        FUZZ_CHECK(file.data == earlier->second.data);
        FUZZ_CHECK(file.writes == 0);
    }
    bool existed = false, exists = false;
    const Bytes old = output != nullptr ? output_bytes(before, *output, existed) : Bytes{};
    const Bytes now = output != nullptr ? output_bytes(world, *output, exists) : Bytes{};
    const bool untouched = exists == existed && now == old;
    Bytes tail;
    if (const auto input = before.files.find(input_name); input != before.files.end() && input->second.data.size() >= 2)
        tail.assign(input->second.data.begin() + 2, input->second.data.end());

    if (status == 0) {
        FUZZ_CHECK(world.console == done);
        FUZZ_CHECK(exists && now == tail);
    }

    const bool struck = setup.fault.at != 0 && world.calls.size() >= static_cast<std::size_t>(setup.fault.at);
    if (!struck) {
        FUZZ_CHECK(status == want.status);
        FUZZ_CHECK(world.console == want.console);
        FUZZ_CHECK(want.output_touched ? exists && now == want.output : untouched);
        return 0;
    }

    // The output holds a beginning of what a whole run writes, or is as it was.
    FUZZ_CHECK(untouched || (exists && now.size() <= tail.size() && std::equal(now.begin(), now.end(), tail.begin())));

    const std::vector<std::pair<int, std::string>> lines = messages(setup.args);
    const Call first = world.calls[static_cast<std::size_t>(setup.fault.at) - 1];
    for (const auto& [line_status, line] : lines) {
        if (world.console != line) continue;
        // A message and its own status despite the fault: only a failed open
        // is the run's to judge, with the message of that open.
        FUZZ_CHECK(status == line_status);
        FUZZ_CHECK(first == Call::open && (status == 2 || status == 4));
        return 0;
    }

    // A fatal report. The fault's kind of call explains it, and so do later
    // kinds when the fault persists; an input that claims too much fails its
    // last read by itself.
    std::set<Call> kinds = {first};
    if (setup.fault.persist) kinds.insert(world.calls.begin() + setup.fault.at, world.calls.end());
    std::vector<std::pair<unsigned, std::uint32_t>> causes;
    for (const Call kind : kinds) {
        const unsigned code = kind == Call::read            ? 100U
                              : kind == Call::console_write ? 101U
                              : setup.fault.code != 0       ? setup.fault.code
                                                            : fake::usual_code(kind);
        for (const std::uint32_t where : checks_after(kind)) causes.emplace_back(code, where);
    }
    if (setup.claims_more) causes.emplace_back(100U, imgstrip::at_copy_read);
    FUZZ_CHECK(is_report(world.console, status, causes, lines));
    return 0;
}
