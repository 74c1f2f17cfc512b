// Support for the black-box tests: the built program run as a user runs it,
// in a scratch directory per case, with its exit status, standard output
// and standard error captured.
//
//   blackbox_tests --program PATH [--runner CMD]...
//
// With a runner (such as wine) the same cases run against a Windows build;
// cases that only the native platform can provoke are skipped there.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "expected.h"
#include "file_bytes.h"

namespace blackbox {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

extern std::string g_program;           // absolute path of the program under test
extern std::vector<std::string> g_runner;  // words put before it, such as "wine"

inline bool native() { return g_runner.empty(); }

using file_bytes::read_file;
using file_bytes::read_text;
using file_bytes::write_file;

// The messages, the report and the fixtures every case compares against.
using namespace expected;

// Where the program's standard output goes.
// output_file and appended_file name a file of the scratch directory, as
// `> name` and `>> name` would.
enum class Stdout { file, dev_full, closed, broken_pipe, output_file, appended_file };

struct Result {
    int status = -1;  // exit status, or 1000 + signal number
    std::string out;  // standard output (captured with Stdout::file only)
    std::string err;
};

// A scratch directory for one case; the program runs inside it, with
// standard input from /dev/null.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    fs::path dir() const { return root_ / "work"; }
    fs::path operator/(const std::string& name) const { return dir() / name; }

    // Runs the program with args; with Stdout::output_file, standard output
    // is the file output_name in the directory.
    Result run(const std::vector<std::string>& args, Stdout how = Stdout::file,
               const std::string& output_name = "") const;

    // Options for run(): words put before the runner and the program (such
    // as setpriv and its options); the program to run instead of g_program;
    // a time limit in seconds (0: none), after which the program is ended by
    // SIGALRM and the status is 1000 + SIGALRM.
    std::vector<std::string> prefix;
    std::string program;
    unsigned timeout = 0;

    // The directory that holds dir(), the captured streams and nothing else.
    fs::path root() const { return root_; }

private:
    fs::path root_;
};

}  // namespace blackbox
