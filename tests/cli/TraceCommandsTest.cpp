// The trace from fuelctl, its summary and its replay: a fill on the emulated bus with faults
// injected, read back by 'trace' and run again by 'replay' to the same decisions; a trace
// whose replies were changed, or other options, and the replay says where the driver now
// decides otherwise.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Program.h"
#include "driver/TraceFormat.h"
#include "tests/cli/CliTestSupport.h"

namespace fuel::cli {
namespace {

namespace fs = std::filesystem;

using test::Contains;
using test::Outcome;
using test::RunInProcess;

std::vector<std::string> LinesOf(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void Write(const fs::path& path, const std::vector<std::string>& lines) {
    std::ofstream out(path);
    for (const std::string& line : lines) {
        out << line << "\n";
    }
}

// A fill on dispenser 1: price, litre dose, start, the fill polled to its end, the final data.
constexpr char kFill[] =
    "price 1 1 45.67\n"
    "dose 1 1 --litres 3\n"
    "start 1 1\n"
    "wait 2\n"
    "status 1\n"
    "wait 4\n"
    "status 1\n"
    "final 1\n";

class TraceCommandsTest : public ::testing::Test {
  protected:
    // Runs the fill in a shell with its trace in `name`; extra options go to the shell.
    std::string Record(const std::string& name, std::vector<std::string> options = {},
                       int status = kExitSuccess) {
        const std::string path = (dir_ / name).string();
        std::vector<std::string> words = {"shell", "--trace-file", path};
        words.insert(words.end(), options.begin(), options.end());
        const Outcome run = RunInProcess(words, kFill);
        EXPECT_EQ(run.status, status) << run.out << run.err;
        return path;
    }

    test::TemporaryDirectory scratch_;
    const fs::path& dir_ = scratch_.Path();
};

TEST_F(TraceCommandsTest, TheSummaryCountsInjectedFaultsWhereTheyWereInjected) {
    // Request 2 is the first poll of nozzle 1, 6 the price read back, 11 a poll of nozzle 1
    // during the fill (each retry sends one more).
    const std::string trace = Record(
        "fill.trace", {"--fault", "checksum@2", "--fault", "silence@6", "--fault", "only-ack@11"});
    const Outcome run = RunInProcess({"trace", trace});
    ASSERT_EQ(run.status, kExitSuccess) << run.err;
    const std::string& out = run.out;
    EXPECT_TRUE(Contains(out, "written by: fuelctl")) << out;
    EXPECT_TRUE(Contains(out, "options: flags=0 OrigAdres=0 StartInLiter=1 WStart=0 WDoza=0"));
    // The emulator's side: each fault once, at dispenser 1, with its request.
    EXPECT_TRUE(Contains(out, "  checksum: 1 (channel 1 dispenser 1: 1)")) << out;
    EXPECT_TRUE(Contains(out, "    checksum: request 2 (channel 1 dispenser 1)")) << out;
    EXPECT_TRUE(Contains(out, "    silence: request 6 (channel 1 dispenser 1)")) << out;
    EXPECT_TRUE(Contains(out, "    only-ack: request 11 (channel 1 dispenser 1)")) << out;
    // The driver's side: the two rejections, each retried with success.
    EXPECT_TRUE(Contains(out, "rejected 222: wrong checksum: 1 (channel 1 dispenser 1: 1)")) << out;
    EXPECT_TRUE(Contains(out,
                         "rejected 219: only 'A' where data was expected: 1 (channel 1 "
                         "dispenser 1: 1)"))
        << out;
    EXPECT_TRUE(Contains(out, "2 retries after a rejected reply")) << out;
    EXPECT_TRUE(Contains(out, "SetPrice: 1")) << out;
    EXPECT_TRUE(Contains(out, "slowest exchanges")) << out;
}

TEST_F(TraceCommandsTest, SilenceAndABadLinkShowWhereTheyHappened) {
    // Dispenser 9 is not on the bus: every exchange with it goes unanswered.
    const std::string path = (dir_ / "silent.trace").string();
    RunInProcess({"shell", "--trace-file", path}, "status 9\nstatus 1\n");
    const Outcome run = RunInProcess({"trace", path});
    EXPECT_TRUE(Contains(run.out, "silent (no reply reached the reply check)")) << run.out;
    EXPECT_TRUE(Contains(run.out, "channel 1 dispenser 9: 1 of 1 exchanges, never answered"))
        << run.out;
    // The bus's side: the emulator has no dispenser 9, yet the requests were for it.
    EXPECT_TRUE(Contains(run.out,
                         "channel 1 dispenser 9: 1 operations, 1 exchanges, 1 failed, "
                         "0 retries, 1 silent, 3 requests served, 3 unanswered"))
        << run.out;
    EXPECT_TRUE(Contains(run.out,
                         "link code 1000 (no reply before the time-out): 1 (channel 1 "
                         "dispenser 9: 1)"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "failed ReadParameter: ESerialIO")) << run.out;
    // The bad state lasted from the silent exchange to the next good one.
    EXPECT_TRUE(Contains(run.out, "link state bad")) << run.out;
    EXPECT_TRUE(Contains(run.out, "channel 1: ")) << run.out;
}

TEST_F(TraceCommandsTest, AReplayOfAFaultyRunMakesTheSameDecisions) {
    // Request 12 polls nozzle 1 during the fill: a volume with a non-digit in it makes the
    // driver set the link state bad, and that status command fails.
    const std::string trace =
        Record("fill.trace", {"--fault", "checksum@2", "--fault", "non-digit@12"}, kExitFailure);
    const Outcome run = RunInProcess({"replay", trace});
    EXPECT_EQ(run.status, kExitSuccess) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, " otherwise")) << run.out;
    EXPECT_TRUE(Contains(run.out, ", 0 otherwise")) << run.out;
    EXPECT_TRUE(Contains(run.out, "SetVolumeLimit ch=1 disp=1 nozzle=1 r1=0 limit=3")) << run.out;
    EXPECT_TRUE(Contains(run.out, "-> 48 01 64 30 30 33 30 30 E5 45")) << run.out;
    // The volume with a non-digit: the poll ends there and leaves the link state bad.
    EXPECT_TRUE(Contains(run.out, "= summary=0 nozzle=0 words=209,0 volumes=1.61,0 mode=49 link=3"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "= volume=3 amount=137.01")) << run.out;
    EXPECT_FALSE(Contains(run.out, "    ! ")) << run.out;
}

// The first reply to the poll of dispenser 1 nozzle 1, changed: its status character, with
// the checksum mended or not.
struct Doctoring {
    const char* name;
    bool mendChecksum;
    const char* difference;
};

class DoctoredTraceTest : public TraceCommandsTest,
                          public ::testing::WithParamInterface<Doctoring> {};

TEST_P(DoctoredTraceTest, ReplaysToAnotherDecisionAndSaysWhere) {
    const std::string trace = Record("fill.trace");
    auto lines = LinesOf(trace);
    std::size_t doctored = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        TraceEvent e = ParseTraceLine(lines[i]);
        if (e.kind != "xchg" || e.Text("frame") != "480144D245") {
            continue;
        }
        auto reply = e.Hex("reply");
        reply[4] = '2';  // idle becomes running
        if (GetParam().mendChecksum) {
            std::uint8_t sum = reply[reply.size() - 1];
            for (std::size_t k = 1; k + 2 < reply.size(); ++k) {
                sum = static_cast<std::uint8_t>(sum + reply[k]);
            }
            reply[reply.size() - 2] = sum;
        }
        for (auto& [key, value] : e.fields) {
            if (key == "reply")
                value = HexText(reply);
        }
        lines[i] = FormatTraceLine(e);
        doctored = i + 1;
        break;
    }
    ASSERT_NE(doctored, 0u);
    const std::string changed = (dir_ / "doctored.trace").string();
    Write(changed, lines);

    const Outcome run = RunInProcess({"replay", changed, "--differences"});
    EXPECT_EQ(run.status, kExitFailure) << run.out;
    EXPECT_TRUE(Contains(run.out, GetParam().difference)) << run.out;
    EXPECT_TRUE(Contains(run.out, "(the first at " + changed + " line")) << run.out;
    // Only the operations decided otherwise are shown.
    EXPECT_FALSE(Contains(run.out, "SetPrice")) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DoctoredTraceTest,
    ::testing::Values(Doctoring{"ChecksumLeftWrong", false,
                                "as rejected 222: wrong checksum, result 222, link state 3 where "
                                "the trace has accepted"},
                      Doctoring{"ChecksumMended", true, "! the trace has: summary=200"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TraceCommandsTest, OtherOptionsShowWhatTheDriverWouldHaveDone) {
    const std::string trace = Record("fill.trace");
    const fs::path cnf = dir_ / "cnf.INI";
    std::ofstream(cnf) << "[Varno]\r\nWDoza=1\r\n";
    const Outcome run = RunInProcess({"replay", trace, "--cnf", cnf.string(), "--differences"});
    EXPECT_EQ(run.status, kExitFailure) << run.out;
    // The dose goes out a second time, and the trace has no reply for it.
    EXPECT_TRUE(Contains(run.out, "SetVolumeLimit ch=1 disp=1 nozzle=1 r1=0 limit=3")) << run.out;
    EXPECT_TRUE(
        Contains(run.out, "nothing was recorded for the frame 48 01 64 30 30 33 30 30 E5 45"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "failed: ESerialIO \"Невозможно установить предел по литрам\""))
        << run.out;
}

TEST_F(TraceCommandsTest, ARotatedTraceReplaysFromTheStateItsFileBeginsWith) {
    std::string script = "price 1 1 45.67\ndose 1 1 --litres 20\nstart 1 1\n";
    for (int i = 0; i < 40; ++i) {
        script += "wait 1\nstatus 1\n";
    }
    script += "final 1\n";
    const std::string path = (dir_ / "long.trace").string();
    ASSERT_EQ(RunInProcess({"shell", "--trace-file", path, "--trace-max-kb", "16"}, script).status,
              kExitSuccess);
    ASSERT_TRUE(fs::exists(path + ".1"));
    const auto lines = LinesOf(path);
    ASSERT_TRUE(Contains(lines[0], " trace format=1 source=fuelctl")) << lines[0];
    ASSERT_TRUE(Contains(lines[2], " state ch=1 disp=1 mode=49 ")) << lines[2];

    // The newer half alone starts from the state it records; both halves in order replay
    // the whole run.
    for (const std::vector<std::string>& files :
         {std::vector<std::string>{path}, std::vector<std::string>{path + ".1", path}}) {
        std::vector<std::string> words = {"replay", "--differences"};
        words.insert(words.end(), files.begin(), files.end());
        const Outcome run = RunInProcess(words);
        EXPECT_EQ(run.status, kExitSuccess) << run.out;
        EXPECT_TRUE(Contains(run.out, ", 0 otherwise")) << run.out;
    }
}

TEST_F(TraceCommandsTest, GarbageIsNamedByLineAndNothingBreaks) {
    const std::string good = Record("fill.trace");
    auto lines = LinesOf(good);
    lines.insert(lines.begin() + 5, "2026-12-08T10:15:30Z xchg frame=\"open");
    lines.insert(lines.begin() + 9, std::string("\x01\xFF garbage \x00 here", 17));
    lines[20] = lines[20].substr(0, 40);  // a line cut short, as a crash leaves one
    const std::string bad = (dir_ / "bad.trace").string();
    Write(bad, lines);

    const Outcome summary = RunInProcess({"trace", bad});
    EXPECT_EQ(summary.status, kExitSuccess);
    EXPECT_TRUE(Contains(summary.out, "lines did not read")) << summary.out;
    EXPECT_TRUE(Contains(summary.out, bad + " line 6: a quoted value has no closing quote"))
        << summary.out;
    EXPECT_TRUE(Contains(summary.out, bad + " line 10: no time stamp")) << summary.out;

    const Outcome replay = RunInProcess({"replay", bad});
    EXPECT_NE(replay.status, kExitUsage) << replay.err;
    EXPECT_TRUE(Contains(replay.out, "lines did not read, the first: " + bad + " line 6"))
        << replay.out;
}

TEST_F(TraceCommandsTest, ANewerFormatIsRefusedRatherThanMisread) {
    const std::string path = (dir_ / "future.trace").string();
    Write(path, {"2030-01-01T00:00:00.000000Z trace format=2 source=driver",
                 "2030-01-01T00:00:00.000000Z call 1 Levitate ch=1"});
    const Outcome run = RunInProcess({"trace", path});
    EXPECT_TRUE(Contains(run.out,
                         "line 1: trace format 2 is not one this program reads (it "
                         "reads 1); the rest of the file is left unread"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "no trace lines")) << run.out;
}

TEST_F(TraceCommandsTest, AMissingFileIsAUsageError) {
    const Outcome run = RunInProcess({"trace", (dir_ / "none.trace").string()});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_TRUE(Contains(run.err, "cannot open the trace file")) << run.err;
}

}  // namespace
}  // namespace fuel::cli
