// Replays every file of the given folders (or files) through the fuzz target once.
// Lets a normal build keep each target compiling and its seed corpus passing, without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    // An exact-size heap copy lets AddressSanitizer catch a read one byte past the input.
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    runs += RunFile(entry.path());
                }
            }
        } else if (std::filesystem::exists(arg)) {
            runs += RunFile(arg);
        }
    }
    uint8_t empty = 0;
    LLVMFuzzerTestOneInput(&empty, 0);
    std::printf("replayed %d inputs\n", runs);
    return 0;
}
