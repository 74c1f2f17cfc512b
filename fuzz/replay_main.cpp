// Runs a fuzz target once over each input file given, or over every file in
// each directory given, for builds without libFuzzer. Fails when no input ran,
// so that a missing corpus is noticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void replay(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::printf("%s (%zu bytes)\n", path.c_str(), data.size());
    std::fflush(stdout);  // the name is out before a failing input aborts
    LLVMFuzzerTestOneInput(data.data(), data.size());
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path given = argv[i];
        if (!std::filesystem::is_directory(given)) {
            inputs.push_back(given);
            continue;
        }
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(given))
            if (entry.is_regular_file()) found.push_back(entry.path());
        std::sort(found.begin(), found.end());
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    for (const auto& input : inputs) {
        if (!std::filesystem::is_regular_file(input)) {
            std::printf("%s: no such input\n", input.c_str());
            return 1;
        }
        replay(input);
    }
    std::printf("%zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
