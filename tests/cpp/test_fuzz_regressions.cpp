// Inputs with which the fuzzers found faults (tests/fuzz/regressions), replayed through the same
// checks: each must load or fail with StateError, and a loaded state must round-trip and learn.
// The sanitizer build (scripts/sanitize.sh) turns any undefined behaviour on the way into a failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(FuzzRegressions, StateLoaderInputsLoadOrFailCleanly) {
    const std::filesystem::path dir = std::filesystem::path(QUELB_SOURCE_DIR) / "tests/fuzz/regressions/state_loader";
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}
