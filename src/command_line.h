// Splitting a command line given as one string, as Windows hands it over.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace imgstrip {

// Splits line into its tokens, the program's name first:
// - blanks, tabs and carriage returns before a token are skipped (a line
//   feed is an ordinary character);
// - a token that opens with " or ' runs to the next quote of the same kind,
//   or to the end; the quotes are dropped, and the character right after the
//   closing quote starts the next token;
// - any other token runs to the next blank, tab or carriage return;
// - there is no escape character; "" and '' give an empty token.
std::vector<std::string> split_command_line(std::string_view line);

}  // namespace imgstrip
