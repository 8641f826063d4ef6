// fuzz/replay_main.cpp
// Runs a fuzz target once on every file of the folders named on the command
// line (its corpus and its regressions), so that the ordinary build keeps
// every seed and every past finding passing without a fuzzer.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    // Every file is read before the first run: a target may change the current directory.
    std::vector<std::vector<uint8_t>> inputs;
    for (int i = 1; i < argc; ++i) {
        DIR* dir = opendir(argv[i]);
        if (dir == nullptr) continue;  // a target may have no findings yet
        std::vector<std::string> names;
        while (const dirent* e = readdir(dir))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string path = std::string(argv[i]) + "/" + name;
            FILE* file = fopen(path.c_str(), "rb");
            if (file == nullptr) {
                fprintf(stderr, "cannot read %s\n", path.c_str());
                return 1;
            }
            std::vector<uint8_t> bytes;
            uint8_t chunk[4096];
            size_t n;
            while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
            fclose(file);
            inputs.push_back(bytes);
        }
    }
    size_t runs = 0;
    for (const std::vector<uint8_t>& bytes : inputs) {
        // A copy of exactly the file's size, so that a read past it is a read past the heap block.
        std::vector<uint8_t> exact(bytes);
        LLVMFuzzerTestOneInput(exact.data(), exact.size());
        ++runs;
    }
    printf("%zu inputs replayed\n", runs);
    return runs == 0 ? 1 : 0;
}
