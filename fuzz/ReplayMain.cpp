// A fuzz target's entry run on every file of the folders named, in name
// order, as libFuzzer runs a corpus, in a build without libFuzzer: the
// committed corpus replayed as a test. A finding aborts, as under the
// fuzzer; a folder without any file fails, so that a corpus that has gone
// missing does not pass for a clean one.
#include "FuzzSupport.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        for (const fs::directory_entry& entry : fs::directory_iterator(argv[i])) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        if (files.empty()) {
            std::fprintf(stderr, "%s: no input\n", argv[i]);
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            const kestro::fuzz::Bytes input = kestro::fuzz::ReadFileBytes(file.string());
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++runs;
        }
    }
    std::error_code ignored;
    fs::remove_all(kestro::fuzz::ScratchFolder(), ignored);
    std::printf("%zu inputs\n", runs);
    return runs > 0 ? 0 : 1;
}
