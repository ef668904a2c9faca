// Runs a fuzz target over saved inputs, so that every ordinary build replays
// the checked-in corpus under the plain compiler and the sanitizers alike,
// without libFuzzer. Arguments are files, or directories whose files are run
// in name order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool run_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that AddressSanitizer sees any
    // read past its end as libFuzzer's own buffer would show it.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    // libFuzzer never hands over a null pointer, not even for an empty input.
    static const uint8_t nothing = 0;
    LLVMFuzzerTestOneInput(data.empty() ? &nothing : data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    size_t replayed = 0;
    bool ok = true;
    for (int a = 1; a < argc; ++a) {
        std::error_code error;
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(argv[a], error)) {
            for (const auto &entry : std::filesystem::directory_iterator(argv[a], error))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argv[a]);
        }
        for (const auto &file : files) {
            if (!run_file(file)) {
                ok = false;
                continue;
            }
            ++replayed;
        }
    }
    std::fprintf(stderr, "%s: replayed %zu inputs\n", argc > 0 ? argv[0] : "replay", replayed);
    // A replay that ran nothing would pass whatever the target does.
    return ok && replayed > 0 ? 0 : 1;
}
