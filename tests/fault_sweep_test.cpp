// Every seam call of whole runs made to fail, one at a time: for k = 1, 2, …
// the k-th call fails (once, or from then on), until a run has no k-th call
// left. Each time the run must end exactly as the failing operation
// prescribes, make no call while a code is pending, leave the input alone and
// leave the output holding exactly what was written before the failure.
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "expected.h"
#include "fake_os.h"
#include "imgstrip.h"
#include "io/byte_file.h"

namespace {

using Bytes = std::vector<unsigned char>;
using fake::Call;
using imgstrip::Location;
using namespace expected;

// One run to sweep: its arguments and files, and how it ends without faults.
struct Scenario {
    const char* name;
    std::vector<std::string> args;
    Bytes input;                  // in
    std::optional<Bytes> output;  // out, before the run
    int status;
    std::string console;
    std::optional<Bytes> after;   // out, after the run
    std::vector<Location> lines;  // the check after each message line, in order
};

Bytes image(std::size_t length)
{
    Bytes bytes = {0x5A, 0xA5, 8};
    for (std::size_t i = bytes.size(); i < length; ++i) bytes.push_back(static_cast<unsigned char>(i * 7 + i / 251));
    return bytes;
}

const Scenario scenarios[] = {
    {"small image over an older output", {"in", "out"}, image(20), Bytes(50, 'o'), 0, done, tail(image(20)),
     {imgstrip::at_done_line}},
    {"four bytes", {"in", "out"}, {0, 0, 8, 5}, std::nullopt, 0, done, Bytes{8, 5}, {imgstrip::at_done_line}},
    {"several buffers", {"in", "out"}, image(2 * io::buffer_size + 1000), std::nullopt, 0, done,
     tail(image(2 * io::buffer_size + 1000)), {imgstrip::at_done_line}},
    {"too short", {"in", "out"}, {0, 0, 8}, Bytes{'o'}, 3, "Input file is too short!\r\n", Bytes{'o'},
     {imgstrip::at_short_line}},
    {"wrong width", {"in", "out"}, {0, 0, 12, 1, 2}, Bytes{'o'}, 5, wrong_width, Bytes{},
     {imgstrip::at_width_line_1, imgstrip::at_width_line_2}},
    {"usage", {"in"}, image(20), std::nullopt, 1, "Usage: imgstrip input.wbmp output.scrn\r\n", std::nullopt,
     {imgstrip::at_usage_line}},
};

// What a seam call of the clean run does there, told by its kind and how
// many of its kind came before it.
enum class Op { input_open, output_open, report };

struct Role {
    Op op = Op::report;
    Location where{};  // the check that reports its failure
};

std::vector<Role> roles(const std::vector<Call>& calls, const std::vector<Location>& lines)
{
    std::map<Call, std::size_t> seen;
    std::vector<Role> out;
    for (const Call call : calls) {
        const std::size_t nth = seen[call]++;
        switch (call) {
        case Call::open: out.push_back({nth == 0 ? Op::input_open : Op::output_open}); break;
        case Call::size: out.push_back({Op::report, nth == 0 ? imgstrip::at_size : imgstrip::at_end_test}); break;
        case Call::read:
            out.push_back({Op::report, nth == 0 ? imgstrip::at_header_read_1 : imgstrip::at_copy_read});
            break;
        case Call::write:
            out.push_back({Op::report, nth == 0 ? imgstrip::at_width_write : imgstrip::at_copy_write});
            break;
        case Call::close:
            out.push_back({Op::report, nth == 0 ? imgstrip::at_input_close : imgstrip::at_output_close});
            break;
        case Call::console_write:
            EXPECT_LT(nth, lines.size()) << "a message line more than expected";
            out.push_back({Op::report, nth < lines.size() ? lines[nth] : Location{}});
            break;
        case Call::seek: ADD_FAILURE() << "the run never seeks"; out.push_back({}); break;
        }
    }
    return out;
}

// What the files and the console held just before each call of a clean run.
struct Snapshot {
    std::optional<Bytes> output;
    std::string console;
};

enum class Injection { fail_once, fail_from_then_on, fail_once_with_256, short_transfer, stalled_transfer };

const char* name_of(Injection how)
{
    switch (how) {
    case Injection::fail_once: return "fails once";
    case Injection::fail_from_then_on: return "fails from then on";
    case Injection::fail_once_with_256: return "fails once with 256";
    case Injection::short_transfer: return "moves one byte";
    case Injection::stalled_transfer: return "moves nothing";
    }
    return "?";
}

bool is_transfer(Call call) { return call == Call::read || call == Call::write || call == Call::console_write; }

class FaultSweep : public ::testing::Test {
protected:
    static void TearDownTestSuite()
    {
        std::cout << "fault sweep: " << points << " fault points swept\n";
        ::testing::Test::RecordProperty("fault_points", points);
    }

    fake::World& world() { return fake::world(); }

    void prepare(const Scenario& s)
    {
        fake::reset();
        fake::put_file("in", s.input);
        if (s.output) fake::put_file("out", *s.output);
    }

    std::optional<Bytes> output()
    {
        const auto found = world().files.find("out");
        return found == world().files.end() ? std::nullopt : std::optional<Bytes>(found->second.data);
    }

    // Runs and checks what every run must keep, faulted or not.
    int run(const Scenario& s)
    {
        const int status = fake::run(s.args);
        EXPECT_FALSE(world().called_while_pending);
        EXPECT_EQ(world().files.at("in").writes, 0);
        EXPECT_EQ(world().files.at("in").data, s.input);
        return status;
    }

    // Makes the clean run, remembering each call and what was there before it.
    std::vector<Call> clean_run(const Scenario& s, std::vector<Snapshot>& before)
    {
        prepare(s);
        world().before_call = [&](Call) { before.push_back({output(), world().console}); };
        EXPECT_EQ(run(s), s.status);
        world().before_call = nullptr;
        EXPECT_EQ(world().console, s.console);
        EXPECT_EQ(output(), s.after);
        return world().calls;
    }

    // The k-th call failed: the status and console text its operation prescribes.
    void expect_failure(const Scenario& s, const Role& role, Call call, Injection how, int status,
                        const Snapshot& before)
    {
        const bool persist = how == Injection::fail_from_then_on;
        if (role.op != Op::report) {
            const bool input = role.op == Op::input_open;
            const std::string line = (input ? "Can't open input file: " : "Can't write to output file: ") +
                                     (input ? s.args[0] : s.args[1]) + "\r\n";
            EXPECT_EQ(status, persist ? 101 : input ? 2 : 4);
            EXPECT_EQ(world().console, before.console + (persist ? "" : line));
            return;
        }
        int code = how == Injection::fail_once_with_256 ? 256 : fake::usual_code(call);
        if (call == Call::read) code = 100;  // a read that obtains nothing, whatever the system said
        if (call == Call::console_write) code = 101;
        if (call == Call::write && how == Injection::stalled_transfer) code = 160;
        EXPECT_EQ(status, status_for(code));
        EXPECT_EQ(world().console, before.console + (persist ? "" : report(code, role.where)));
        if (!persist) seen_at(role.where);
    }

    // Every place a report names belongs to one check, and every check has one place.
    void seen_at(Location where)
    {
        const std::string& text = world().console;
        const std::size_t at = text.find("Runtime error ");
        ASSERT_NE(at, std::string::npos);
        unsigned printed = 0;
        ASSERT_EQ(std::sscanf(text.c_str() + at, "Runtime error %*d at 0x%8X", &printed), 1);
        places[printed].insert(where);
        checks[where].insert(printed);
    }

    static inline int points = 0;
    std::map<unsigned, std::set<Location>> places;
    std::map<Location, std::set<unsigned>> checks;
};

TEST_F(FaultSweep, EveryCallFailingEndsAsItsOperationPrescribes)
{
    for (const Scenario& s : scenarios) {
        std::vector<Snapshot> before;
        const std::vector<Call> clean = clean_run(s, before);
        const std::vector<Role> role = roles(clean, s.lines);
        ASSERT_EQ(before.size(), clean.size());

        for (const Injection how : {Injection::fail_once, Injection::fail_from_then_on, Injection::fail_once_with_256,
                                    Injection::short_transfer, Injection::stalled_transfer}) {
            const bool failing = how != Injection::short_transfer && how != Injection::stalled_transfer;
            for (int k = 1;; ++k) {
                SCOPED_TRACE(std::string(s.name) + ", call " + std::to_string(k) + " " + name_of(how));
                const std::size_t i = static_cast<std::size_t>(k) - 1;
                if (!failing && i < clean.size() && !is_transfer(clean[i])) continue;
                prepare(s);
                if (failing) world().fault = {k, how == Injection::fail_from_then_on,
                                              how == Injection::fail_once_with_256 ? os::Code{256} : os::Code{0}};
                else {
                    world().short_at = k;
                    world().short_limit = how == Injection::short_transfer ? 1 : 0;
                }
                const int status = run(s);

                if (world().calls.size() < static_cast<std::size_t>(k)) {
                    // No k-th call: nothing was injected, and the run is the clean one.
                    EXPECT_EQ(i, clean.size());
                    EXPECT_EQ(status, s.status);
                    EXPECT_EQ(world().console, s.console);
                    break;
                }
                ++points;
                ASSERT_LT(i, clean.size());
                EXPECT_EQ(world().calls[i], clean[i]) << "the run took another path before the fault";
                if (how == Injection::short_transfer) {
                    // Continued: the run ends exactly as without it.
                    EXPECT_EQ(status, s.status);
                    EXPECT_EQ(world().console, s.console);
                    EXPECT_EQ(output(), s.after);
                    continue;
                }
                expect_failure(s, role[i], clean[i], how, status, before[i]);
                // Nothing after the failing call reached the output, and nothing written before it is lost.
                EXPECT_EQ(output(), before[i].output);
            }
        }
    }
    for (const auto& [place, owners] : places) EXPECT_EQ(owners.size(), 1u) << std::hex << place;
    for (const auto& [check, printed] : checks) EXPECT_EQ(printed.size(), 1u) << std::hex << check;
    EXPECT_GE(checks.size(), 12u);  // every check that a seam call can reach in these runs
    EXPECT_GT(points, 0);
}

TEST(Locations, EachCheckHasItsOwn)
{
    const Location all[] = {imgstrip::entry, imgstrip::at_usage_line, imgstrip::at_input_line,
                            imgstrip::at_size, imgstrip::at_short_line, imgstrip::at_output_line,
                            imgstrip::at_header_read_1, imgstrip::at_header_read_2, imgstrip::at_header_read_3,
                            imgstrip::at_width_line_1, imgstrip::at_width_line_2, imgstrip::at_width_write,
                            imgstrip::at_end_test, imgstrip::at_copy_read, imgstrip::at_copy_write,
                            imgstrip::at_input_close, imgstrip::at_output_close, imgstrip::at_done_line};
    EXPECT_EQ(std::set<Location>(std::begin(all), std::end(all)).size(), std::size(all));
}

}  // namespace
