// The status poll: one 'D' exchange per nozzle decoded into host codes and volumes, the
// summary record, the mode-'0' words, the cached controller mode with its back-off, the line
// set-up and the property queries.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::DataReply;
using test::DriverTest;
using test::GivenDispenser;

constexpr char kCannotPoll[] = "Невозможно выполнить опрос состояния пистолета (Варно)";
constexpr char kCannotRead[] = "Невозможно считать параметр";
constexpr char kDispenserOutOfRange[] = "Номер колонки выходит за допустимый диапозон";

// 'D' replies for nozzle code `code`, 18 bytes; what the layout does not read is filled with
// '9' so that a field read too far shows.
Bytes Reply(std::uint8_t code, std::uint8_t byte4, const std::string& from5) {
    Bytes data(14, '9');
    data[0] = code;
    data[1] = 'D';
    data[2] = byte4;
    for (std::size_t i = 0; i < from5.size(); ++i) {
        data.at(3 + i) = static_cast<std::uint8_t>(from5[i]);
    }
    return DataReply(data);
}
// Status character in byte 4, six volume characters in bytes 5..10.
Bytes Plain(std::uint8_t code, std::uint8_t status, const std::string& volume6) {
    return Reply(code, status, volume6);
}
// 0xF2 in byte 4, status in byte 5, nine volume characters in bytes 7..15.
Bytes Marked(std::uint8_t code, std::uint8_t status, const std::string& volume9) {
    return Reply(code, 0xF2, std::string(1, static_cast<char>(status)) + "x" + volume9);
}
// Mode '0': six volume characters in bytes 5..10; byte 4 (0xF2 here) is not looked at.
Bytes ModeZero(std::uint8_t code, const std::string& volume6) {
    return Reply(code, 0xF2, volume6);
}

// A controller's answer to a cell read: the value in bytes 5 and 6.
Bytes CellReply(std::uint8_t address, std::uint8_t value) {
    return DataReply({address, 'X', '0', static_cast<std::uint8_t>(0x30 + (value >> 4)),
                      static_cast<std::uint8_t>(0x30 + (value & 0x0F)), '0', '0'});
}

class PollTest : public DriverTest {
  protected:
    // Dispenser 1 on channel 1: nozzle n has code n.
    StatusRecord Poll(std::uint8_t count) {
        StatusRecord record;
        record.bytes.fill(0xEE);
        driver.PollDispenserStatus(1, 1, count, record);
        return record;
    }
    // Answers cell reads from `cells`, status requests from `status` by nozzle code, and
    // acknowledges everything else.
    void Answer(std::map<std::uint8_t, Bytes> status, std::map<int, std::uint8_t> cells = {}) {
        link.responder = [status, cells](const Bytes& frame) -> Bytes {
            const Bytes data = test::DataOf(frame);
            if (data.size() == 2 && data[1] == 'D') {
                const auto it = status.find(data[0]);
                return it == status.end() ? Bytes{} : it->second;
            }
            if (data.size() == 4 && data[1] == 'X') {
                const int cell = (data[2] - 0x30) * 16 + (data[3] - 0x30);
                const auto it = cells.find(cell);
                return it == cells.end() ? Bytes{} : CellReply(data[0], it->second);
            }
            return Bytes{'A'};
        };
    }
};

// ---- Decoding one nozzle.

struct NozzleCase {
    const char* name;
    std::uint8_t mode;
    std::uint8_t volumeDecimals;
    Bytes reply;  // nozzle 1
    std::uint8_t code;
    double volume;
    std::uint8_t linkAfter;
};

void PrintTo(const NozzleCase& c, std::ostream* os) {
    *os << c.name;
}

class NozzleDecodeTest : public PollTest, public ::testing::WithParamInterface<NozzleCase> {};

TEST_P(NozzleDecodeTest, CodeVolumeAndLink) {
    const NozzleCase& c = GetParam();
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = c.mode;
        s.VolumeDecimals = c.volumeDecimals;
        s.NozzleVolume[1] = 77.0;
    });
    link.QueueReply(c.reply);
    const StatusRecord record = Poll(1);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x01, 'D'}}));
    EXPECT_EQ(link.sent[0].frame, (Bytes{0x48, 0x01, 0x44, 0xD2, 0x45}));
    EXPECT_EQ(link.sent[0].replyLength, 18);
    EXPECT_EQ(record.Word(1), c.code);
    EXPECT_DOUBLE_EQ(driver.Tables().NozzleVolume[1][1][1], c.volume);
    EXPECT_EQ(driver.GetLinkState(1), c.linkAfter);
    // The summary takes the nozzle's code only while the link is good.
    const bool good = c.linkAfter == 1;
    EXPECT_EQ(record.Summary(), good ? c.code : 0);
    EXPECT_EQ(record.SummaryNozzle(), good ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, NozzleDecodeTest,
    ::testing::Values(
        // Plain: six digits with implied decimals.
        NozzleCase{"plain_mode_41_three_decimals", 0x41, 3, Plain(1, 0x11, "012345"), 225, 12.345,
                   1},
        NozzleCase{"plain_mode_31_hundredths", 0x31, 3, Plain(1, 0x11, "012345"), 225, 123.45, 1},
        NozzleCase{"plain_fresh_mode_hundredths", 0x00, 3, Plain(1, 0x11, "012345"), 225, 123.45,
                   1},
        NozzleCase{"plain_blanks_then_digits", 0x31, 2, Plain(1, 0x11, "  1234"), 225, 12.34, 1},
        // A non-digit after a digit is corruption: the nozzle keeps its volume.
        NozzleCase{"plain_non_digit_after_digit", 0x31, 2, Plain(1, 0x11, "12x345"), 225, 77.0, 3},
        NozzleCase{"plain_top_bit_ignored", 0x31, 2, Plain(1, 0x91, "001000"), 225, 10.0, 1},
        NozzleCase{"idle_clears_the_volume", 0x31, 2, Plain(1, ' ', "012345"), 200, 0.0, 1},
        NozzleCase{"running", 0x31, 2, Plain(1, '2', "001000"), 217, 10.0, 1},
        NozzleCase{"unknown_character", 0x31, 2, Plain(1, 'A', "001000"), 192, 10.0, 1},
        // Plausibility: above 1000 litres a reply without decimals is taken as corrupt.
        NozzleCase{"exactly_1000_plausible", 0x31, 2, Plain(1, 0x11, "100000"), 225, 1000.0, 1},
        NozzleCase{"above_1000_corrupt", 0x31, 2, Plain(1, 0x11, "100001"), 225, 1000.01, 3},
        NozzleCase{"above_1000_fresh_mode_corrupt", 0x00, 2, Plain(1, 0x11, "100001"), 225, 1000.01,
                   3},
        NozzleCase{"mode_40_5000_plausible", 0x40, 1, Plain(1, 0x11, "050000"), 225, 5000.0, 1},
        // Marked: a separator field, no implied decimals.
        NozzleCase{"marked_running", 0x31, 2, Marked(1, 0x22, "000012.34"), 217, 12.34, 1},
        NozzleCase{"marked_bad_character", 0x31, 2, Marked(1, 0x22, "00001x.34"), 217, 1.0, 3},
        NozzleCase{"marked_ignores_decimals", 0x41, 3, Marked(1, 0x11, "000012.34"), 225, 12.34, 1},
        NozzleCase{"marked_comma", 0x41, 3, Marked(1, 0x11, "00012,340"), 225, 12.34, 1},
        NozzleCase{"marked_separator_last", 0x40, 2, Marked(1, 0x11, "00012345."), 225, 12345.0, 1},
        NozzleCase{"marked_second_separator_restarts", 0x40, 2, Marked(1, 0x11, "0001.2.34"), 225,
                   12.34, 1},
        NozzleCase{"marked_without_separator_whole", 0x40, 2, Marked(1, 0x11, "000001234"), 225,
                   1234.0, 1},
        NozzleCase{"marked_above_1000_corrupt", 0x31, 2, Marked(1, 0x11, "001000.01"), 225, 1000.01,
                   3},
        NozzleCase{"marked_idle_clears", 0x31, 2, Marked(1, ' ', "000012.34"), 200, 0.0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct CharCase {
    std::uint8_t character;
    std::uint8_t code;  // for nozzle 4
};

class DecodeStatusCharTest : public PollTest, public ::testing::WithParamInterface<CharCase> {};

TEST_P(DecodeStatusCharTest, CodeForNozzle4) {
    EXPECT_EQ(driver.DecodeStatusChar(GetParam().character, 1, 1, 4), GetParam().code);
    EXPECT_TRUE(link.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeStatusCharTest,
    ::testing::Values(CharCase{0x08, 212}, CharCase{0x0C, 212}, CharCase{0x15, 212},
                      CharCase{0x18, 212}, CharCase{0x88, 212}, CharCase{0x98, 212},
                      CharCase{0x11, 228}, CharCase{0x91, 228}, CharCase{0x20, 200},
                      CharCase{0x30, 200}, CharCase{0x60, 200}, CharCase{0x70, 200},
                      CharCase{0xA0, 200}, CharCase{0xF0, 200}, CharCase{0x22, 220},
                      CharCase{0x32, 220}, CharCase{0xB2, 220}, CharCase{0x00, 192},
                      CharCase{0x09, 192}, CharCase{0x10, 192}, CharCase{0x12, 192},
                      CharCase{0x31, 192}, CharCase{0x7F, 192}, CharCase{0xFF, 192}),
    [](const auto& info) { return "char_" + std::to_string(info.param.character); });

TEST_F(PollTest, StatusSixStopsTheDispenserThenStopFillOnAZeroVolume) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.CurrentNozzle = 3;
    });
    Answer({{1, Plain(1, ' ', "000000")}, {2, Plain(2, '6', "000000")}});
    const StatusRecord record = Poll(2);
    // The stop for '6', then the StopFill for 210 with nothing dispensed; both address the
    // dispenser's current nozzle.
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x01, 'D'}, {0x02, 'D'}, {0x03, 's'}, {0x03, 's'}}));
    EXPECT_EQ(record.Word(1), 200);
    EXPECT_EQ(record.Word(2), 210);
    EXPECT_EQ(record.Summary(), 210);
    EXPECT_EQ(record.SummaryNozzle(), 2);
}

TEST_F(PollTest, StatusSixWithAVolumeStopsOnce) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    Answer({{1, Plain(1, 0xB6, "000150")}});
    const StatusRecord record = Poll(1);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x01, 'D'}, {0x01, 's'}}));
    EXPECT_EQ(record.Word(1), 209);
    EXPECT_DOUBLE_EQ(driver.Tables().NozzleVolume[1][1][1], 1.5);
}

TEST_F(PollTest, StatusSixStopFailureLeavesThePoll) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.QueueReply(Plain(1, '6', "000150"));
    link.QueueSilence();
    StatusRecord record;
    EXPECT_TRUE(test::Raises([&] { driver.PollDispenserStatus(1, 1, 1, record); }, "ESerialIO",
                             "Can't STOP POMP"));
}

struct EndedCase {
    const char* name;
    std::uint8_t nozzle;
    std::uint8_t status;
    std::string volume;
    std::uint8_t code;
    bool stopFill;
};

void PrintTo(const EndedCase& c, std::ostream* os) {
    *os << c.name;
}

class EndedWithoutVolumeTest : public PollTest, public ::testing::WithParamInterface<EndedCase> {};

TEST_P(EndedWithoutVolumeTest, StopFillOnlyFor209To213) {
    const EndedCase& c = GetParam();
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.CurrentNozzle = 2;
    });
    link.QueueReply(Plain(c.nozzle, c.status, c.volume));
    link.QueueAck();
    CommandBuffer buffer{};
    EXPECT_EQ(driver.PollNozzle(1, 1, c.nozzle, c.nozzle, buffer), c.code);
    std::vector<Bytes> expected{{c.nozzle, 'D'}};
    if (c.stopFill) {
        expected.push_back({0x02, 's'});
    }
    EXPECT_EQ(Sent(), expected);
}

INSTANTIATE_TEST_SUITE_P(Codes, EndedWithoutVolumeTest,
                         ::testing::Values(EndedCase{"n1_209_zero", 1, 0x08, "000000", 209, true},
                                           EndedCase{"n5_213_zero", 5, 0x0C, "000000", 213, true},
                                           EndedCase{"n6_214_zero", 6, 0x15, "000000", 214, false},
                                           EndedCase{"n1_209_volume", 1, 0x18, "000001", 209,
                                                     false},
                                           EndedCase{"n1_217_zero", 1, '2', "000000", 217, false},
                                           EndedCase{"n1_225_zero", 1, 0x11, "000000", 225, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Mode '0': the driver keeps the status word itself.

struct ModeZeroCase {
    const char* name;
    std::uint16_t word;   // nozzle 1's word before the poll (count 1 reads nozzle 1's word)
    double limit;         // VolumeLimit
    double previous;      // NozzleVolume before the poll
    std::string volume6;  // the reply's volume field
    std::uint8_t code;
    std::uint16_t wordAfter;
    double volumeAfter;
    std::uint8_t linkAfter;
};

void PrintTo(const ModeZeroCase& c, std::ostream* os) {
    *os << c.name;
}

class ModeZeroPollTest : public PollTest, public ::testing::WithParamInterface<ModeZeroCase> {};

TEST_P(ModeZeroPollTest, WordAndCode) {
    const ModeZeroCase& c = GetParam();
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = '0';
        s.NozzleStatus[1] = c.word;
        s.VolumeLimit = c.limit;
        s.NozzleVolume[1] = c.previous;
    });
    link.QueueReply(ModeZero(1, c.volume6));
    const StatusRecord record = Poll(1);
    EXPECT_EQ(record.Word(1), c.code);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][1], c.wordAfter);
    EXPECT_DOUBLE_EQ(driver.Tables().NozzleVolume[1][1][1], c.volumeAfter);
    EXPECT_EQ(driver.GetLinkState(1), c.linkAfter);
    EXPECT_EQ(link.sent.size(), 1u);  // no stop goes out for a mode-'0' dispenser
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ModeZeroPollTest,
    ::testing::Values(
        ModeZeroCase{"dose_reached_while_flowing", 217, 10, 9.5, "010.00", 209, 209, 10.0, 1},
        ModeZeroCase{"below_dose_unchanged", 217, 10, 5.0, "008.00", 217, 217, 8.0, 1},
        ModeZeroCase{"no_dose_counts_as_reached", 217, 0, 5.0, "010.00", 209, 209, 10.0, 1},
        ModeZeroCase{"flowing_other_word_kept", 212, 0, 5.0, "010.00", 212, 212, 10.0, 1},
        ModeZeroCase{"stopped_209_to_208", 209, 10, 10.0, "010.00", 208, 208, 10.0, 1},
        ModeZeroCase{"stopped_208_to_192", 208, 10, 10.0, "010.00", 192, 192, 10.0, 1},
        ModeZeroCase{"stopped_215_to_209", 215, 0, 10.0, "010.00", 209, 209, 10.0, 1},
        ModeZeroCase{"stopped_217_to_209", 217, 0, 10.0, "009.00", 209, 209, 9.0, 1},
        // A fill that rises from a positive volume reads as running; the word stays 192.
        ModeZeroCase{"rising_reported_running", 192, 0, 1.0, "003.20", 217, 192, 3.2, 1},
        ModeZeroCase{"rising_from_zero_not_yet", 192, 0, 0.0, "003.20", 192, 192, 3.2, 1},
        ModeZeroCase{"not_rising_192", 192, 0, 3.2, "003.20", 192, 192, 3.2, 1},
        ModeZeroCase{"waiting_unchanged", 225, 0, 1.0, "003.20", 225, 225, 3.2, 1},
        ModeZeroCase{"idle_clears_volume", 200, 0, 1.0, "003.20", 200, 200, 0.0, 1},
        // No plausibility limit here; a field without a separator is its whole number.
        ModeZeroCase{"large_volume_plausible", 192, 0, 0.0, "1500.5", 192, 192, 1500.5, 1},
        ModeZeroCase{"no_separator_whole", 192, 0, 0.0, "001234", 192, 192, 1234.0, 1},
        // A bad character: the link is marked, the volume keeps the digits before it and
        // the word W is reported unchanged.
        ModeZeroCase{"bad_character", 217, 10, 9.5, "01x.00", 217, 217, 1.0, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PollTest, ModeZeroFillEndsOverThreePolls) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = '0';
        s.NozzleStatus[1] = 217;
        s.VolumeLimit = 10.0;
        s.NozzleVolume[1] = 9.5;
    });
    std::vector<std::uint8_t> codes;
    for (int i = 0; i < 3; ++i) {
        link.QueueReply(ModeZero(1, "010.00"));
        const StatusRecord record = Poll(1);
        codes.push_back(record.Summary());
        EXPECT_EQ(record.Word(1), driver.Tables().NozzleStatus[1][1][1]);
    }
    EXPECT_EQ(codes, (std::vector<std::uint8_t>{209, 208, 192}));
}

TEST_F(PollTest, ModeZeroReadsTheWordNumberedByTheCount) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = '0';
        s.NozzleStatus[1] = 192;
        s.NozzleStatus[2] = 217;
        s.VolumeLimit = 10.0;
        s.NozzleVolume[1] = 9.5;
        s.NozzleVolume[2] = 10.0;
    });
    Answer({{1, ModeZero(1, "010.00")}, {2, ModeZero(2, "010.00")}});
    const StatusRecord record = Poll(2);
    // Nozzle 1 ends word 2's running fill; nozzle 2 then finds it stopped.
    EXPECT_EQ(record.Word(1), 209);
    EXPECT_EQ(record.Word(2), 208);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][1], 192);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][2], 208);
    EXPECT_EQ(record.Summary(), 209);
    EXPECT_EQ(record.SummaryNozzle(), 1);
}

// ---- The dispenser poll: summary and record.

struct SummaryCase {
    const char* name;
    std::vector<std::uint8_t> statusChars;  // nozzle 1, 2, ...
    std::vector<std::uint16_t> codes;
    std::uint8_t summary;
    std::uint8_t summaryNozzle;
};

void PrintTo(const SummaryCase& c, std::ostream* os) {
    *os << c.name;
}

class SummaryTest : public PollTest, public ::testing::WithParamInterface<SummaryCase> {};

TEST_P(SummaryTest, RecordAndNozzleStatus) {
    const SummaryCase& c = GetParam();
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    std::map<std::uint8_t, Bytes> replies;
    for (std::uint8_t n = 1; n <= c.statusChars.size(); ++n) {
        replies[n] = Plain(n, c.statusChars[n - 1u], "000150");
    }
    Answer(replies);
    for (std::int64_t n = 1; n <= 6; ++n) {
        GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.NozzleStatus[n] = 999; });
    }
    StatusRecord record;
    record.bytes.fill(0xEE);
    const auto count = static_cast<std::uint8_t>(c.statusChars.size());
    driver.PollDispenserStatus(1, 1, count, record);

    EXPECT_EQ(link.sent.size(), c.codes.size());
    EXPECT_EQ(record.Summary(), c.summary);
    EXPECT_EQ(record.SummaryNozzle(), c.summaryNozzle);
    EXPECT_EQ(record.bytes[1], 0);
    EXPECT_EQ(record.bytes[15], 0);
    for (std::uint8_t n = 1; n <= 6; ++n) {
        if (n <= count) {
            EXPECT_EQ(record.Word(n), c.codes[n - 1u]) << "nozzle " << int{n};
            EXPECT_EQ(driver.Tables().NozzleStatus[1][1][n], c.codes[n - 1u])
                << "nozzle " << int{n};
        } else {
            // Nozzles not polled: the caller's record and the driver's words stay.
            EXPECT_EQ(record.Word(n), 0xEEEE) << "nozzle " << int{n};
            EXPECT_EQ(driver.Tables().NozzleStatus[1][1][n], 999) << "nozzle " << int{n};
        }
    }
}

constexpr std::uint8_t kWaitingChar = 0x11;  // 224 + nozzle
constexpr std::uint8_t kIdleChar = ' ';      // 200
constexpr std::uint8_t kRunningChar = '2';   // 216 + nozzle
constexpr std::uint8_t kEndedChar = 0x08;    // 208 + nozzle
constexpr std::uint8_t kOtherChar = 'A';     // 192

INSTANTIATE_TEST_SUITE_P(
    Rule, SummaryTest,
    ::testing::Values(
        SummaryCase{"count_0", {}, {}, 0, 0},
        SummaryCase{"no_activity_alone", {kOtherChar}, {192}, 192, 1},
        SummaryCase{
            "idle_over_no_activity", {kOtherChar, kIdleChar, kOtherChar}, {192, 200, 192}, 200, 2},
        SummaryCase{"idle_over_waiting", {kWaitingChar, kIdleChar}, {225, 200}, 200, 2},
        SummaryCase{"waiting_under_idle", {kIdleChar, kWaitingChar}, {200, 226}, 200, 1},
        SummaryCase{"later_idle_taken", {kIdleChar, kIdleChar}, {200, 200}, 200, 2},
        SummaryCase{"first_waiting_kept", {kWaitingChar, kWaitingChar}, {225, 226}, 225, 1},
        SummaryCase{"waiting_over_no_activity", {kOtherChar, kWaitingChar}, {192, 226}, 226, 2},
        SummaryCase{"no_activity_under_waiting", {kWaitingChar, kOtherChar}, {225, 192}, 225, 1},
        SummaryCase{"first_fill_state_kept", {kRunningChar, kEndedChar}, {217, 210}, 217, 1},
        SummaryCase{"ended_before_running", {kEndedChar, kRunningChar}, {209, 218}, 209, 1},
        SummaryCase{"fill_over_waiting_and_idle",
                    {kWaitingChar, kIdleChar, kRunningChar, kEndedChar},
                    {225, 200, 219, 212},
                    219,
                    3},
        SummaryCase{"six_nozzles",
                    {kOtherChar, kOtherChar, kOtherChar, kOtherChar, kOtherChar, kRunningChar},
                    {192, 192, 192, 192, 192, 222},
                    222,
                    6}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PollTest, ModeZeroRecordIsNotCopiedToTheWords) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = '0';
        s.NozzleStatus[1] = 192;
        s.NozzleStatus[2] = 555;
        s.NozzleVolume[1] = 1.0;
        s.NozzleVolume[2] = 1.0;
    });
    Answer({{1, ModeZero(1, "003.20")}, {2, ModeZero(2, "003.20")}});
    Poll(2);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][1], 192);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][2], 555);
}

TEST_F(PollTest, BadLinkAfterNozzle1EndsThePollUntouched) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.NozzleStatus[1] = 111;
        s.NozzleStatus[2] = 222;
    });
    Answer({{1, Plain(1, kEndedChar, "100001")}, {2, Plain(2, kIdleChar, "000000")}});
    const StatusRecord record = Poll(2);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x01, 'D'}}));
    EXPECT_EQ(record.Word(1), 209);
    EXPECT_EQ(record.Word(2), 0xEEEE);
    EXPECT_EQ(record.Summary(), 0);
    EXPECT_EQ(record.SummaryNozzle(), 0);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][1], 111);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][2], 222);
    EXPECT_EQ(driver.GetLinkState(1), 3);
}

TEST_F(PollTest, LinkStateNotGoodAfterTheExchangeDecodesNothing) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.NozzleVolume[1] = 5.0;
        s.NozzleStatus[1] = 111;
    });
    link.forcedState = 3;
    Answer({{1, Plain(1, kIdleChar, "000000")}, {2, Plain(2, kIdleChar, "000000")}});
    const StatusRecord record = Poll(2);
    EXPECT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(record.Word(1), 0);  // no code for a nozzle that could not be read
    EXPECT_EQ(record.Summary(), 0);
    EXPECT_DOUBLE_EQ(driver.Tables().NozzleVolume[1][1][1], 5.0);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][1], 111);
}

TEST_F(PollTest, ExchangeFailureOnNozzle2KeepsWhatNozzle1Gave) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) {
        s.DispenserMode = 0x31;
        s.NozzleStatus[1] = 111;
    });
    link.QueueReply(Plain(1, kRunningChar, "000150"));
    link.QueueReply({'A'});  // only the acknowledgement: rejected
    StatusRecord record;
    record.bytes.fill(0xEE);
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.PollDispenserStatus(1, 1, 2, record); }, kCannotPoll));
    EXPECT_EQ(record.Word(1), 217);
    EXPECT_EQ(record.Summary(), 217);
    EXPECT_EQ(record.SummaryNozzle(), 1);
    EXPECT_EQ(record.Word(2), 0xEEEE);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][1], 111);
}

TEST_F(PollTest, DispenserAbove32RaisesTheBaseExceptionBeforeSending) {
    StatusRecord record;
    record.bytes.fill(0xEE);
    EXPECT_TRUE(test::Raises([&] { driver.PollDispenserStatus(1, 33, 1, record); }, "Exception",
                             kDispenserOutOfRange));
    EXPECT_TRUE(test::Raises([&] { driver.PollDispenserStatus(1, 255, 0, record); }, "Exception",
                             kDispenserOutOfRange));
    EXPECT_EQ(record.bytes[0], 0);
    EXPECT_EQ(record.bytes[1], 0);
    EXPECT_EQ(record.bytes[15], 0);
    EXPECT_EQ(record.bytes[2], 0xEE);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(PollTest, OtherIndexesOutOfRange) {
    Answer({{1, Plain(1, kIdleChar, "000000")}});
    StatusRecord record;
    EXPECT_THROW(driver.PollDispenserStatus(1, 0, 1, record), ERangeError);
    EXPECT_THROW(driver.PollDispenserStatus(0, 1, 1, record), ERangeError);
    EXPECT_THROW(driver.PollDispenserStatus(33, 1, 1, record), ERangeError);
    EXPECT_TRUE(link.sent.empty());
    // The seventh nozzle does not exist.
    Answer({{1, Plain(1, kIdleChar, "000000")},
            {2, Plain(2, kIdleChar, "000000")},
            {3, Plain(3, kIdleChar, "000000")},
            {4, Plain(4, kIdleChar, "000000")},
            {5, Plain(5, kIdleChar, "000000")},
            {6, Plain(6, kIdleChar, "000000")},
            {7, Plain(7, kIdleChar, "000000")}});
    EXPECT_THROW(driver.PollDispenserStatus(1, 1, 7, record), ERangeError);
}

TEST_F(PollTest, StatusCodePollsNothing) {
    GivenDispenser(driver, 1, 5, [&](DispenserState& s) {
        s.NozzleStatus[1] = 217;
        s.NozzleStatus[2] = 226;
    });
    EXPECT_EQ(driver.GetStatusCode(1, 5), 0);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_EQ(driver.Tables().NozzleStatus[1][5][1], 217);
    EXPECT_EQ(driver.Tables().NozzleStatus[1][5][2], 226);
    EXPECT_TRUE(
        test::Raises([&] { driver.GetStatusCode(1, 33); }, "Exception", kDispenserOutOfRange));
}

// ---- The extended poll and the cached controller mode.

TEST_F(PollTest, ExtendedRecordLeavesByte15AndEndsInZeros) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    Answer({{1, Plain(1, kWaitingChar, "000150")}, {2, Plain(2, kRunningChar, "000150")}},
           {{148, 0x31}});
    StatusRecordEx record;
    record.bytes.fill(0xAB);
    driver.PollDispenserStatusEx(1, 1, 2, record);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x01, 'X', '9', '4'}, {0x01, 'D'}, {0x02, 'D'}}));
    const Bytes expectedHead{218, 0, 225, 0, 218, 0};
    EXPECT_EQ(Bytes(record.bytes.begin(), record.bytes.begin() + 6), expectedHead);
    EXPECT_EQ(record.bytes[14], 2);
    EXPECT_EQ(record.bytes[15], 0xAB);
    EXPECT_EQ(Bytes(record.bytes.begin() + 16, record.bytes.end()), (Bytes{0, 0, 0, 0}));
}

TEST_F(PollTest, ModeIsReadAgainOnCalls1_3_6WhileItStaysTheSame) {
    Answer({}, {{148, 0x31}});
    std::vector<std::size_t> readsAfterCall;
    for (int call = 1; call <= 6; ++call) {
        StatusRecordEx record;
        driver.PollDispenserStatusEx(1, 4, 0, record);
        readsAfterCall.push_back(link.sent.size());
        if (call == 1) {
            EXPECT_EQ(driver.Tables().DispenserMode[1][4], 0x31);
        }
    }
    EXPECT_EQ(readsAfterCall, (std::vector<std::size_t>{1, 1, 2, 2, 2, 3}));
    EXPECT_EQ(driver.Tables().ModeStableCount[1][4], 3);
    EXPECT_EQ(driver.Tables().ModeRecheckCountdown[1][4], 3);
    for (const Bytes& request : Sent()) {
        EXPECT_EQ(request, (Bytes{0x04, 'X', '9', '4'}));  // the dispenser is the address
    }
}

struct ModeCase {
    const char* name;
    std::map<int, std::uint8_t> cells;
    std::uint8_t cachedMode;
    std::int32_t stableCount;
    std::vector<Bytes> reads;
    std::uint8_t mode, volumeDecimals, moneyDecimals;
    std::int32_t stableAfter;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

class RefreshModeTest : public PollTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(RefreshModeTest, CellsReadAndModeCached) {
    const ModeCase& c = GetParam();
    GivenDispenser(driver, 2, 3, [&](DispenserState& s) {
        s.DispenserMode = c.cachedMode;
        s.ModeStableCount = c.stableCount;
        s.VolumeDecimals = 5;
        s.MoneyDecimals = 6;
    });
    Answer({}, c.cells);
    StatusRecordEx record;
    driver.PollDispenserStatusEx(2, 3, 0, record);
    EXPECT_EQ(Sent(), c.reads);
    EXPECT_EQ(driver.Tables().DispenserMode[2][3], c.mode);
    EXPECT_EQ(driver.Tables().VolumeDecimals[2][3], c.volumeDecimals);
    EXPECT_EQ(driver.Tables().MoneyDecimals[2][3], c.moneyDecimals);
    EXPECT_EQ(driver.Tables().ModeStableCount[2][3], c.stableAfter);
    EXPECT_EQ(driver.Tables().ModeRecheckCountdown[2][3], c.stableAfter);
}

const Bytes kRead148{0x03, 'X', '9', '4'};
const Bytes kRead150{0x03, 'X', '9', '6'};
const Bytes kRead129{0x03, 'X', '8', '1'};

INSTANTIATE_TEST_SUITE_P(
    Cells, RefreshModeTest,
    ::testing::Values(
        ModeCase{"decimals_from_129",
                 {{148, 255}, {150, 0x42}, {129, 0x32}},
                 0,
                 1,
                 {kRead148, kRead150, kRead129},
                 0x42,
                 3,
                 2,
                 1},
        ModeCase{"mode_0_via_150",
                 {{148, 255}, {150, 0x30}, {129, 0x32}},
                 0,
                 1,
                 {kRead148, kRead150},
                 '0',
                 5,
                 6,
                 1},
        ModeCase{"beyond_47_no_decimals",
                 {{148, 255}, {150, 0x48}, {129, 0x32}},
                 0,
                 1,
                 {kRead148, kRead150},
                 0x48,
                 5,
                 6,
                 1},
        ModeCase{"mode_40_via_150",
                 {{148, 255}, {150, 0x40}, {129, 0x10}},
                 0,
                 1,
                 {kRead148, kRead150, kRead129},
                 0x40,
                 1,
                 0,
                 1},
        ModeCase{"direct_42_reads_no_decimals",
                 {{148, 0x42}, {129, 0x32}},
                 0,
                 1,
                 {kRead148},
                 0x42,
                 5,
                 6,
                 1},
        ModeCase{"same_mode_grows_the_interval", {{148, 0x31}}, 0x31, 4, {kRead148}, 0x31, 5, 6, 5},
        ModeCase{"changed_mode_resets_it", {{148, 0x32}}, 0x31, 4, {kRead148}, 0x32, 5, 6, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PollTest, NewDecimalsApplyToThePollOfTheSameCall) {
    Answer({{1, Plain(1, kWaitingChar, "012345")}}, {{148, 255}, {150, 0x42}, {129, 0x32}});
    StatusRecordEx record;
    driver.PollDispenserStatusEx(1, 1, 1, record);
    EXPECT_DOUBLE_EQ(driver.Tables().NozzleVolume[1][1][1], 12.345);
}

TEST_F(PollTest, ModeReadFailureLeavesBeforeThePollAndRetriesNextTime) {
    link.QueueReply({'A'});
    StatusRecordEx record;
    EXPECT_TRUE(
        test::RaisesSerialIO([&] { driver.PollDispenserStatusEx(1, 1, 1, record); }, kCannotRead));
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x01, 'X', '9', '4'}}));
    EXPECT_EQ(driver.Tables().ModeRecheckCountdown[1][1], 0);
}

TEST_F(PollTest, ModeReadOnABadLinkCachesZero) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = 0x31; });
    link.forcedState = 3;
    Answer({}, {{148, 0x31}});
    StatusRecordEx record;
    driver.PollDispenserStatusEx(1, 1, 0, record);
    EXPECT_EQ(driver.Tables().DispenserMode[1][1], 0);
    EXPECT_EQ(driver.Tables().ModeStableCount[1][1], 1);
}

TEST_F(PollTest, ExtendedPollOfDispenser33) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.ModeRecheckCountdown = 5; });
    StatusRecordEx record;
    EXPECT_THROW(driver.PollDispenserStatusEx(1, 33, 0, record), Exception);
}

// ---- The flagged start of a mode-'0' dispenser: a stop, then a poll of nozzle 1.

TEST_F(PollTest, FlaggedModeZeroStartStopsAndPollsFirst) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = '0'; });
    Answer({{1, ModeZero(1, "000.00")}}, {{148, '0'}});
    driver.StartFill(1, 1, 2, 1);
    EXPECT_EQ(Sent(), (std::vector<Bytes>{{0x01, 's'}, {0x01, 'X', '9', '4'}, {0x01, 'D'}}));
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][2], 217);
    EXPECT_EQ(driver.Tables().DispenserMode[1][1], '0');
}

TEST_F(PollTest, FlaggedModeZeroStartWhoseStopFailsSetsNothing) {
    GivenDispenser(driver, 1, 1, [&](DispenserState& s) { s.DispenserMode = '0'; });
    link.QueueSilence();
    EXPECT_TRUE(
        test::Raises([&] { driver.StartFill(1, 1, 2, 1); }, "ESerialIO", "Can't STOP POMP"));
    EXPECT_EQ(driver.Tables().NozzleStatus[1][1][2], 0);
}

// ---- Line set-up and property queries.

TEST_F(DriverTest, InitLinkRegistersAndAppliesTheLineSettings) {
    link.configureResult = 42;
    EXPECT_EQ(driver.InitLink(5), 42);
    using Call = test::RecordingLink::ConfigureCall;
    EXPECT_EQ(link.configureCalls, (std::vector<Call>{{5, 75, 4800}}));
    const LineInitializer initializer = link.initializer(5);
    ASSERT_TRUE(initializer);
    EXPECT_EQ(initializer.object, &driver);
    // The link may apply the settings again whenever it chooses.
    link.configureResult = 7;
    EXPECT_EQ(initializer(5), 7);
    EXPECT_EQ(link.configureCalls.size(), 2u);
    // No check on the channel: the link judges it.
    EXPECT_EQ(driver.InitLink(99), 7);
    EXPECT_TRUE(link.sent.empty());
}

struct InfoCase {
    std::uint32_t key;
    bool known;
    std::uint32_t value;
};

class DriverInfoTest : public DriverTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(DriverInfoTest, Value) {
    std::uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(driver.GetDriverInfo(GetParam().key, value), GetParam().known);
    EXPECT_EQ(value, GetParam().known ? GetParam().value : 0xDEADBEEF);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, DriverInfoTest,
    ::testing::Values(InfoCase{0, false, 0}, InfoCase{1, true, 1}, InfoCase{2, true, 0},
                      InfoCase{3, true, 1}, InfoCase{4, true, 1}, InfoCase{5, true, 1},
                      InfoCase{6, true, 0}, InfoCase{7, true, 400}, InfoCase{8, true, 1},
                      InfoCase{9, true, 50000}, InfoCase{10, true, 1}, InfoCase{11, false, 0},
                      InfoCase{0x80000001u, false, 0}, InfoCase{0xFFFFFFFFu, false, 0}),
    [](const auto& info) { return "key_" + std::to_string(info.param.key); });

}  // namespace
}  // namespace fuel
