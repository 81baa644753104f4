// Replays a fuzz target's corpus (files or directories given as arguments)
// and then a run of pseudo-random inputs, for builds without libFuzzer: the
// test suite runs it under the sanitizers.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void runFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

} // namespace

int main(int argc, char **argv)
{
    // The parser logs every byte; keep the replay's output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 2;
    }
    size_t files = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg)) {
                runFile(entry.path());
                ++files;
            }
        } else {
            runFile(arg);
            ++files;
        }
    }
    std::mt19937 rng(20261209);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes(rng() % 6000);
        for (uint8_t &b : bytes) {
            b = (rng() % 6 == 0) ? 0xFE : static_cast<uint8_t>(rng());
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replayed %zu corpus files and 300 random inputs\n", files);
    return 0;
}
