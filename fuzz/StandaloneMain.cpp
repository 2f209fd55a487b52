// Runs a fuzz target without libFuzzer: first every file named on the command line, then
// --runs=N inputs from a fixed-seed generator, so the same inputs run under the sanitizer
// builds of the tests on every machine.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    long runs = 10000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            runs = std::strtol(argv[i] + 7, nullptr, 10);
            continue;
        }
        std::ifstream file(argv[i], std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                      std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::mt19937 random(20261208);
    std::vector<std::uint8_t> input;
    for (long run = 0; run < runs; ++run) {
        input.resize(random() % 512);
        for (auto& byte : input) {
            // Mostly small values and protocol characters, so the inputs reach deep.
            const auto pick = random() % 4;
            byte = pick == 0   ? static_cast<std::uint8_t>(random())
                   : pick == 1 ? static_cast<std::uint8_t>("AHE0123456789.,\xF2 "[random() % 18])
                               : static_cast<std::uint8_t>(random() % 24);
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%ld generated inputs ran\n", runs);
    return 0;
}
