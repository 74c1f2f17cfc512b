// A stand-in for the operating-system seam: files in memory, standard output
// captured, and any seam call made to fail or to move fewer bytes on
// request. Its exit() unwinds (throws fake::Exit) instead of ending the
// process, so that whole runs can be made in-process, one after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "io/os.h"

namespace fake {

enum class Call { open, size, seek, read, write, close, console_write };

const char* name_of(Call call);

// The code a failing call of each kind gives when a fault names none.
os::Code usual_code(Call call);

struct File {
    std::vector<unsigned char> data;
    bool character_device = false;  // close() leaves it open, as a console
    bool held_elsewhere = false;    // another program holds it: opens fail with 5
    int writes = 0;                 // write calls that reached it
    std::int64_t size_bias = 0;     // added to the size it reports, as for a file cut short
};

struct Fault {
    int at = 0;             // the seam call (counted from 1) that fails; 0: none
    bool persist = false;   // every later call fails too
    os::Code code = 0;      // what it returns; 0: usual_code() of that call
};

struct World {
    std::map<std::string, File> files;
    std::vector<std::string> directories;  // opening one fails with 5
    std::string console;                   // what reached standard output
    std::vector<Call> calls;               // every seam call, in order
    Fault fault;
    std::size_t transfer_limit = std::numeric_limits<std::size_t>::max();  // per read or write
    int short_at = 0;                      // the seam call (counted from 1) that, if it is a read
    std::size_t short_limit = 1;           //   or write, moves at most short_limit bytes, once
    std::function<void(Call)> before_call; // told of every seam call before it is made
    bool called_while_pending = false;     // a seam call came while a code was pending
};

World& world();

// A fresh world, and no code, file or console text left from an earlier run.
void reset();

struct Exit {
    int status;
};

// Runs a whole conversion in-process and returns its exit status.
int run(const std::vector<std::string>& args);

// Shorthands for fixtures.
std::vector<unsigned char> bytes(std::initializer_list<int> values);
File& put_file(const std::string& path, std::vector<unsigned char> data);

}  // namespace fake
