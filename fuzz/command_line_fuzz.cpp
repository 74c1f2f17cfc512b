// The command-line splitter against arbitrary lines: it never fails, every
// token costs at least one character of the line, and quoting its tokens back
// by its own rules splits into the same tokens.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "fuzz_check.h"

namespace {

// Appends token as the splitter reads it back: bare when it can be, else in
// quotes of a kind it does not contain. A token holding both kinds of quote
// has no spelling; false then.
bool append_quoted(std::string& line, const std::string& token)
{
    if (!line.empty()) line += ' ';
    const bool has_gap = token.find_first_of(" \t\r") != std::string::npos;
    if (!token.empty() && !has_gap && token[0] != '"' && token[0] != '\'') {
        line += token;
    } else if (token.find('"') == std::string::npos) {
        line += '"' + token + '"';
    } else if (token.find('\'') == std::string::npos) {
        line += '\'' + token + '\'';
    } else {
        return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> tokens = imgstrip::split_command_line(line);

    // An opening quote or a first non-gap character starts each token.
    FUZZ_CHECK(tokens.size() <= line.size());
    std::size_t characters = 0;
    for (const std::string& token : tokens) characters += token.size();
    FUZZ_CHECK(characters <= line.size());

    std::string requoted;
    for (const std::string& token : tokens)
        if (!append_quoted(requoted, token)) return 0;
    FUZZ_CHECK(imgstrip::split_command_line(requoted) == tokens);
    return 0;
}
