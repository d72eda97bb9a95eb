// Runs a fuzz target over files and folders of inputs, without the fuzzing
// engine, so that a normal build replays the corpus and every past finding.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    int failures = 0;
    size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path = argv[i];
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
                if (!entry.is_regular_file()) continue;
                failures += Replay(entry.path());
                ++inputs;
            }
        } else if (std::filesystem::exists(path, error)) {
            failures += Replay(path);
            ++inputs;
        }
        // A folder that is not there (no shared corpus on this machine) is skipped.
    }
    std::printf("replayed %zu inputs\n", inputs);
    return failures == 0 ? 0 : 1;
}
