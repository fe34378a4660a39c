// SPDX-License-Identifier: MIT
// Runs a fuzz target over a fixed series of pseudo-random inputs, for compilers without
// libFuzzer. The series is the same on every run, so a failure can be reproduced.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

int main(int argc, char **argv)
{
    const unsigned long runs = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    std::mt19937 rng(1);
    std::vector<std::uint8_t> input;
    for (unsigned long run = 0; run < runs; ++run) {
        input.resize(rng() % (run % 16 == 0 ? 2048 : 128)); // now and then a long one
        for (auto &byte : input)
            byte = static_cast<std::uint8_t>(rng());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%lu inputs, no failures\n", runs);
}
