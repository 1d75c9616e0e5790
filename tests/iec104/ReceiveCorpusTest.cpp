// Replays every committed fuzzer input (the seed corpus and the inputs that once
// crashed) through the receive path under the normal test build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/ReceiveHarness.h"

namespace telegate {
namespace {

std::filesystem::path FuzzDir() {
    return std::filesystem::path(TELEGATE_TEST_DATA).parent_path().parent_path() / "fuzz";
}

int ReplayFolder(const std::filesystem::path& dir) {
    int n = 0;
    if (!std::filesystem::is_directory(dir)) return 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (!e.is_regular_file() || e.path().filename().string().front() == '.') continue;
        std::ifstream in(e.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        SCOPED_TRACE(e.path().filename().string());
        fuzzing::RunReceiveInput(bytes.data(), bytes.size());
        ++n;
    }
    return n;
}

TEST(ReceiveCorpusTest, EverySeedAndCrashInputRunsThrough) {
    EXPECT_GE(ReplayFolder(FuzzDir() / "corpus"), 10);
    ReplayFolder(FuzzDir() / "crashes");
}

TEST(ReceiveCorpusTest, HarnessDecodesAValidExchange) {
    // STARTDT confirmation, then a single point for tag TS0 in its own block.
    const std::vector<uint8_t> input = {0x00, 6,    0x68, 0x04, 0x0B, 0x00, 0x00, 0x00, 16,
                                        0x68, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x03,
                                        0x00, 0x03, 0x00, 0x64, 0x00, 0x00, 0x01};
    const fuzzing::TReceiveRun run = fuzzing::RunReceiveInput(input.data(), input.size());
    EXPECT_EQ(run.Fvr, 1);
    EXPECT_EQ(run.tagsReceived, 1);
    EXPECT_GE(run.written, 6u);  // at least the acknowledgement or interrogation
    const fuzzing::TReceiveRun cut = fuzzing::RunReceiveInput(input.data(), 12);
    EXPECT_EQ(cut.Fvr, 0);
    EXPECT_EQ(cut.tagsReceived, 0);
}

}  // namespace
}  // namespace telegate
