#include "blackbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace blackbox {

std::string g_program;
std::vector<std::string> g_runner;

Scratch::Scratch()
{
    std::string pattern = (fs::temp_directory_path() / "imgstrip-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    fs::create_directory(root_ / "work");
}

Scratch::~Scratch()
{
    std::error_code ignored;
    fs::permissions(root_ / "work", fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
}

Result Scratch::run(const std::vector<std::string>& args, Stdout how, const std::string& output_name) const
{
    const bool named = how == Stdout::output_file || how == Stdout::appended_file;
    const fs::path out = named ? dir() / output_name : root_ / "stdout";
    const fs::path err = root_ / "stderr";
    int pipe_fds[2] = {-1, -1};
    if (how == Stdout::broken_pipe) {
        EXPECT_EQ(pipe(pipe_fds), 0);
        close(pipe_fds[0]);  // the reader is gone before the first write
    }
    std::vector<std::string> words = prefix;
    words.insert(words.end(), g_runner.begin(), g_runner.end());
    words.push_back(program.empty() ? g_program : program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        if (chdir(dir().c_str()) != 0) _exit(126);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(e, 2);
        switch (how) {
        case Stdout::file:
        case Stdout::output_file:
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            break;
        case Stdout::appended_file: dup2(open(out.c_str(), O_WRONLY | O_APPEND), 1); break;
        case Stdout::dev_full: dup2(open("/dev/full", O_WRONLY), 1); break;
        case Stdout::closed: close(1); break;
        case Stdout::broken_pipe: dup2(pipe_fds[1], 1); break;
        }
        for (int fd = 3; fd < 64; ++fd) close(fd);
        if (timeout != 0) alarm(timeout);  // kept across exec
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pipe_fds[1] >= 0) close(pipe_fds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    Result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    if (how == Stdout::file) result.out = read_text(out);
    result.err = read_text(err);
    return result;
}


}  // namespace blackbox

using namespace blackbox;

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--program") g_program = fs::absolute(argv[++i]).string();
        else if (flag == "--runner") g_runner.push_back(argv[++i]);
    }
    if (g_program.empty() && !::testing::GTEST_FLAG(list_tests)) {
        fprintf(stderr, "usage: blackbox_tests --program PATH [--runner CMD]...\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
