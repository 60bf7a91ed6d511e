// Replays a fuzz target's stored inputs through its LLVMFuzzerTestOneInput, without
// libFuzzer, so every build (gcc and the sanitizer builds included) runs the corpus,
// and the crashes and slow inputs the fuzzers once found, as an ordinary test.
//
// Usage: <target>_replay DIR_OR_FILE...   Every regular file under a directory is an
// input. Each input gets a heap buffer of exactly its size, as libFuzzer gives it, so
// AddressSanitizer sees a read past its end. A crash or a trap in the target fails the
// test by itself; an input that takes longer than the fuzz scripts' time-out (10 s)
// fails it too.
#include <algorithm>
#include <chrono>
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

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kSlowInput{10};

bool Collect(const fs::path& path, std::vector<fs::path>& inputs) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        for (auto it = fs::recursive_directory_iterator(path, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec))
                inputs.push_back(it->path());
        }
    } else if (fs::is_regular_file(path, ec)) {
        inputs.push_back(path);
    } else {
        std::fprintf(stderr, "replay: %s is neither a file nor a directory\n", path.c_str());
        return false;
    }
    if (ec) {
        std::fprintf(stderr, "replay: cannot list %s: %s\n", path.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!Collect(argv[i], inputs))
            return 1;
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs (usage: %s DIR_OR_FILE...)\n", argv[0]);
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    std::chrono::steady_clock::duration slowest{};
    fs::path slowestInput;
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
            return 1;
        }
        const auto data = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), data.get());
        // Named before it runs, so a crash report says which input it was.
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
        const auto t0 = std::chrono::steady_clock::now();
        LLVMFuzzerTestOneInput(data.get(), bytes.size());
        const auto took = std::chrono::steady_clock::now() - t0;
        if (took > slowest) {
            slowest = took;
            slowestInput = input;
        }
        if (took > kSlowInput) {
            std::fprintf(stderr, "replay: %s took %.1f s, more than the %lld s allowed\n",
                         input.c_str(), std::chrono::duration<double>(took).count(),
                         static_cast<long long>(kSlowInput.count()));
            return 1;
        }
    }
    std::printf("replay: %zu input(s) ran clean; slowest %.3f ms (%s)\n", inputs.size(),
                std::chrono::duration<double, std::milli>(slowest).count(),
                slowestInput.filename().c_str());
    return 0;
}
