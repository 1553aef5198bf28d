// replays a fuzz target's corpus and past crashes as an ordinary test: every
// file of every directory named on the command line goes through the
// target once. a directory that does not exist is skipped; a crash ends
// the process as it would end the fuzzer.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::string> files_of(const std::string& dir)
{
    std::vector<std::string> files;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return files;
    }
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') {
            continue;  // ".", "..", and the .keep of an empty directory
        }
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            files.push_back(path);
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        for (const std::string& path : files_of(argv[i])) {
            std::ifstream in(path, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // a copy of its own, so that a read past the input is a read past an allocation
            std::vector<uint8_t> input(bytes);
            LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
            count++;
        }
    }
    fprintf(stderr, "replayed %zu inputs\n", count);
    // a target without a single input has lost its corpus
    return count > 0 ? 0 : 1;
}
