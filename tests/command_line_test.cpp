#include "command_line.h"

#include <gtest/gtest.h>

namespace {

using Tokens = std::vector<std::string>;

TEST(CommandLine, SplitsByTheQuotingRules)
{
    // command line, tokens (the program's name first)
    const struct {
        std::string line;
        Tokens tokens;
    } cases[] = {
        {"", {}},
        {" \t\r ", {}},
        {"imgstrip", {"imgstrip"}},
        {"imgstrip a.wbmp b.scrn", {"imgstrip", "a.wbmp", "b.scrn"}},
        {"  imgstrip\t a  \r b  ", {"imgstrip", "a", "b"}},
        {"p a\nb", {"p", "a\nb"}},                              // a line feed is ordinary
        {"\"C:\\Program Files\\imgstrip.exe\" x", {"C:\\Program Files\\imgstrip.exe", "x"}},
        {"p \"in put.wbmp\" 'out put.scrn'", {"p", "in put.wbmp", "out put.scrn"}},
        {"p \"it's\" 'say \"hi\"'", {"p", "it's", "say \"hi\""}},  // the other quote is ordinary
        {"p \"a\"b", {"p", "a", "b"}},                          // a closing quote ends the token
        {"p 'a''b'", {"p", "a", "b"}},
        {"p a\"b c'd", {"p", "a\"b", "c'd"}},                   // quotes inside a plain token
        {"p \"open to the end", {"p", "open to the end"}},
        {"p 'open", {"p", "open"}},
        {"p \"\" ''", {"p", "", ""}},                           // empty quotes count
        {"p \"", {"p", ""}},
        {"p a\\\"b\" c", {"p", "a\\\"b\"", "c"}},               // no escape character
        {"p \"a\\\" b", {"p", "a\\", "b"}},
        {"p \"\t\r\"", {"p", "\t\r"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(imgstrip::split_command_line(c.line), c.tokens);
    }
}

TEST(CommandLine, KeepsLongAndManyArgumentsWhole)
{
    const std::string path(1000, 'x');
    EXPECT_EQ(imgstrip::split_command_line("p " + path), (Tokens{"p", path}));

    std::string line = "p";
    for (int i = 0; i < 300; ++i) line += " a";
    EXPECT_EQ(imgstrip::split_command_line(line).size(), 301u);
}

}  // namespace
