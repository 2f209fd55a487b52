// How fuel-emulator cuts requests out of the byte stream of its serial line: by the 'H' that
// opens a frame and the length its command letter implies, dropping what cannot be a frame.
#include <gtest/gtest.h>

#include <vector>

#include "emulator/SerialServer.h"

namespace fuel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct StreamCase {
    const char* name;
    Bytes stream;
    std::vector<Bytes> frames;
};

class FrameAssemblerTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(FrameAssemblerTest, CutsTheFramesOutOfTheStream) {
    emulator::FrameAssembler assembler;
    std::vector<Bytes> frames;
    for (const std::uint8_t byte : GetParam().stream) {
        if (const auto frame = assembler.Push(byte)) {
            frames.emplace_back(frame->begin(), frame->end());
        }
    }
    EXPECT_EQ(frames, GetParam().frames);
}

const Bytes kStatus = {0x48, 0x01, 0x44, 0xD2, 0x45};  // 'D' for nozzle code 1
// The checksum is the bus's business, not the cutter's: this one is left wrong.
const Bytes kMoneyDose = {0x48, 0x01, 0x65, 0x30, 0x30, 0x31, 0x30, 0x30, 0x30, 0x45, 0x45};

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameAssemblerTest,
    ::testing::Values(
        StreamCase{"OneFrame", kStatus, {kStatus}},
        StreamCase{"TwoFramesBackToBack",
                   {0x48, 0x01, 0x44, 0xD2, 0x45, 0x48, 0x01, 0x44, 0xD2, 0x45},
                   {kStatus, kStatus}},
        StreamCase{"LongestFrameByItsLetter", kMoneyDose, {kMoneyDose}},
        StreamCase{
            "NoiseBeforeTheFrame", {0x00, 0x41, 0x45, 0x48, 0x01, 0x44, 0xD2, 0x45}, {kStatus}},
        // 'Z' is no command: the search resumes after the false start.
        StreamCase{
            "UnknownLetterThenAFrame", {0x48, 0x01, 0x5A, 0x48, 0x01, 0x44, 0xD2, 0x45}, {kStatus}},
        // The second 'H' is the real start; the first one's "letter" (0x01) is no command.
        StreamCase{
            "FalseStartRightBeforeTheFrame", {0x48, 0x48, 0x01, 0x44, 0xD2, 0x45}, {kStatus}},
        StreamCase{"UnfinishedFrame", {0x48, 0x01, 0x44, 0xD2}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameAssemblerLengths, EveryCommandLetter) {
    // n data bytes + 'H', checksum, 'E'.
    const std::pair<char, std::size_t> lengths[] = {
        {'u', 5}, {'s', 5}, {'C', 5}, {'U', 5}, {'S', 5},  {'D', 5},  {'X', 7},
        {'Y', 7}, {'c', 9}, {'x', 9}, {'y', 9}, {'d', 10}, {'e', 11}, {'A', 0}};
    for (const auto& [letter, length] : lengths) {
        EXPECT_EQ(emulator::FrameAssembler::FrameLength(static_cast<std::uint8_t>(letter)), length)
            << letter;
    }
}

}  // namespace
}  // namespace fuel::test
