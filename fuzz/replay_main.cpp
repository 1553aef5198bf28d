// replays a fuzz target's corpus and past crashes as an ordinary test: every
// file of every directory named on the command line goes through the
// target once. a directory that does not exist is skipped; a crash ends
// the process as it would end the fuzzer.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; i++) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(argv[i], ec)) {
            // not the .keep of an empty directory
            if (e.is_regular_file() && e.path().filename().string()[0] != '.') {
                files.push_back(e.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        // a copy of its own, so that a read past the input is a read past an allocation
        std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    }
    fprintf(stderr, "replayed %zu inputs\n", files.size());
    // a target without a single input has lost its corpus
    return files.empty() ? 1 : 0;
}
