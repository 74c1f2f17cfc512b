#include "command_line.h"

namespace imgstrip {
namespace {

bool is_gap(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

std::vector<std::string> split_command_line(std::string_view line)
{
    std::vector<std::string> tokens;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && is_gap(line[i])) ++i;
        if (i == line.size()) return tokens;
        std::size_t end;
        if (line[i] == '"' || line[i] == '\'') {
            const char quote = line[i++];
            end = line.find(quote, i);
            if (end == std::string_view::npos) end = line.size();
            tokens.emplace_back(line.substr(i, end - i));
            i = end == line.size() ? end : end + 1;
        } else {
            end = i;
            while (end < line.size() && !is_gap(line[end])) ++end;
            tokens.emplace_back(line.substr(i, end - i));
            i = end;
        }
    }
}

}  // namespace imgstrip
