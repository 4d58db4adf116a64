// Replays inputs through a fuzz target's entry point without libFuzzer: every file of the
// folders named on the command line (names starting with "." aside), and files named
// directly, in name order. A failing property or a sanitizer report ends the program with
// an error, after the name of the input that caused it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path place(argv[i]);
        std::error_code ec;
        if (fs::is_regular_file(place, ec)) {
            inputs.push_back(place);
            continue;
        }
        if (!fs::is_directory(place, ec)) {
            std::fprintf(stderr, "replay: no such file or folder: %s\n", place.string().c_str());
            return 2;
        }
        std::vector<fs::path> files;
        for (fs::directory_iterator it(place, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->is_regular_file() && it->path().filename().string().front() != '.')
                files.push_back(it->path());
        }
        if (ec) {
            std::fprintf(stderr, "replay: cannot list %s: %s\n", place.string().c_str(), ec.message().c_str());
            return 2;
        }
        std::sort(files.begin(), files.end());
        inputs.insert(inputs.end(), files.begin(), files.end());
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }

    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (in.bad()) {
            std::fprintf(stderr, "replay: cannot read %s\n", input.string().c_str());
            return 2;
        }
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.string().c_str(), bytes.size());
        // A buffer of exactly the input's size, so a read past its end is caught.
        const auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), copy.get());
        LLVMFuzzerTestOneInput(copy.get(), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
    return 0;
}
