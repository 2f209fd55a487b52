// The memory file's text: every value reads back to the same bits, and a text that was cut
// short or damaged is refused before any of it is believed.
#include "emulator/Memory.h"

#include <gtest/gtest.h>

#include <functional>

namespace fuel::emulator {
namespace {

using namespace std::chrono_literals;

Memory Sample() {
    Memory memory;
    memory.saved = WallTime(1'714'557'600'123'456'789ns);
    ControllerMemory controller;
    controller.number = 5;
    for (std::size_t i = 0; i < 256; ++i) {
        controller.ram[i] = static_cast<std::uint8_t>(i * 7);
        controller.rom[i] = static_cast<std::uint8_t>(255 - i);
    }
    NozzleMemory running;
    running.number = 1;
    running.phase = NozzlePhase::Running;
    running.lifted = true;
    running.totalBefore = 12002.09;  // no double holds it exactly: it must come back the same
    running.price = 4567;
    running.fillPrice = 4567;
    running.volumeLimit = 20.0 / 45.67;
    running.moneyLimit = 20;
    running.flowRate = 0.8;
    running.started = WallTime(1'714'557'590'000'000'001ns);
    NozzleMemory ended;
    ended.number = 2;
    ended.phase = NozzlePhase::Ended;
    ended.totalBefore = 123456789.123456789;
    ended.volume = 0.1 + 0.2;
    ended.moneyDose = 1e-9;
    ended.started = WallTime(-5s);  // before 1970: a clock that was never set
    controller.nozzles = {running, ended};
    memory.controllers = {controller};
    memory.customers = {{5, CustomerPhase::Fuelling, 1, 17.25, WallTime(1'714'557'589s)},
                        {7, CustomerPhase::Walking, 0, 0, WallTime(1'714'557'601s)}};
    return memory;
}

void ExpectSame(const Memory& read, const Memory& written) {
    EXPECT_EQ(read.saved, written.saved);
    EXPECT_EQ(read.controllers, written.controllers);
    EXPECT_EQ(read.customers, written.customers);
}

TEST(MemoryTest, ReadsBackWhatItWrote) {
    const Memory memory = Sample();
    const std::string text = FormatMemory(memory);
    ExpectSame(ParseMemory(text), memory);
    EXPECT_EQ(FormatMemory(ParseMemory(text)), text);
    EXPECT_TRUE(text.starts_with("# ")) << "a reader of the file learns what it is";
}

TEST(MemoryTest, AnEmptyBusReadsBack) {
    Memory memory;
    memory.saved = WallTime(1s);
    ExpectSame(ParseMemory(FormatMemory(memory)), memory);
}

TEST(MemoryTest, DamagedOrShortenedTextIsRefused) {
    const std::string text = FormatMemory(Sample());
    const auto replaced = [&](std::string_view from, std::string_view to) {
        std::string damaged = text;
        damaged.replace(damaged.find(from), from.size(), to);
        return damaged;
    };
    const std::size_t lastLine = text.rfind('\n', text.size() - 2) + 1;
    const struct {
        const char* name;
        std::string text;
        const char* message;
    } cases[] = {
        {"empty", "", "ends early"},
        {"cut in the middle", text.substr(0, text.size() / 2), "ends early"},
        {"cut in its last line", text.substr(0, text.size() - 5), "ends early"},
        {"without its last line", text.substr(0, lastLine), "ends early"},
        {"one digit of a total", replaced("total-before=12002.09", "total-before=12003.09"),
         "checksum"},
        {"a record left out", replaced("customer 7", "#ustomer 7"), "checksum"},
        {"a line doubled", replaced("memory 1\n", "memory 1\nmemory 1\n"), "checksum"},
        {"the checksum not hex", text.substr(0, lastLine) + "end 00zz\n", "checksum"},
        {"a NUL", replaced("phase=ended", std::string("phase=ende\0", 11)), "checksum"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            ParseMemory(c.text);
            ADD_FAILURE() << "read";
        } catch (const MemoryError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace fuel::emulator
