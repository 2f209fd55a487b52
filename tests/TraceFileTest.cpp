// The trace file and its switch in the options file: nothing without the keys, a capped file
// with one predecessor, and lines lost to a file that cannot be written counted in the next
// line that can.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "driver/TraceFile.h"
#include "driver/TraceSettings.h"
#include "driver/TracedDriver.h"
#include "testing/RecordingLink.h"

namespace fuel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ManualClock final : public TraceClock {
  public:
    TraceTime Now() override { return now; }
    void Advance(std::chrono::nanoseconds d) {
        now.steady += d;
        now.wall += std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    }
    TraceTime now{1796724930000000, 0ns};
};

std::vector<std::string> Lines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string KindOf(const std::string& line) {
    return ParseTraceLine(line).kind;
}

class TraceFileTest : public ::testing::Test {
  protected:
    TraceFileTest() {
        static int counter = 0;
        dir_ = fs::temp_directory_path() /
               ("fuel-trace-test-" + std::to_string(++counter) + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(dir_);
    }
    ~TraceFileTest() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    fs::path Cnf(const std::string& text) {
        const fs::path path = dir_ / "cnf.INI";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::set<fs::path> Files() const {
        std::set<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            files.insert(entry.path().filename());
        }
        return files;
    }

    // One operation's worth of lines, at a place where a file may begin.
    static void Operation(TraceFile& file, ManualClock& clock, int number) {
        if (file.NewFileDue()) {
            file.BeginFile();
        }
        for (int i = 0; i < 3; ++i) {
            clock.Advance(1ms);
            TraceEvent event(clock.now.wall, "xchg");
            event.With("n", number).With("i", i).With("padding", std::string(60, 'x'));
            file.Record(event);
        }
    }

    fs::path dir_;
    test::RecordingLink link;
};

TEST_F(TraceFileTest, WithoutTheKeysThereIsNoTraceAndNoFile) {
    const fs::path cnf = Cnf("[Varno]\r\nOrigAdres=0\r\nWStart=1\r\n");
    std::unique_ptr<TVM30> driver(CreateDriver(0, &link, cnf.string()));
    EXPECT_EQ(dynamic_cast<TracedDriver*>(driver.get()), nullptr);
    link.QueueAck();
    driver->StartPump(1, 1, 1);
    EXPECT_EQ(Files(), std::set<fs::path>{"cnf.INI"});
}

TEST_F(TraceFileTest, TheKeysSwitchTheTraceOnBesideTheOptionsFile) {
    const fs::path cnf = Cnf("[Varno]\r\nWStart=1\r\nTraceFile=station.trace\r\nTraceMaxKB=64\r\n");
    std::unique_ptr<TVM30> driver(CreateDriver(0, &link, cnf.string()));
    ASSERT_NE(dynamic_cast<TracedDriver*>(driver.get()), nullptr);
    EXPECT_TRUE(driver->WStart);                        // the options are read as ever
    EXPECT_EQ(Files(), std::set<fs::path>{"cnf.INI"});  // nothing before the first operation

    link.QueueAck();
    driver->StartPump(1, 1, 1);
    const auto lines = Lines(dir_ / "station.trace");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[0].find(" trace format=1 source=driver"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" options flags=0 OrigAdres=0 StartInLiter=1 WStart=1 WDoza=0"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find(" call 1 StartPump ch=1 disp=1 nozzle=1"), std::string::npos);
    EXPECT_NE(lines[3].find(" xchg ch=1 op=1 disp=1 frame=4801750345 result=0 state=1 "
                            "verdict=accepted code=0 checks=1 "),
              std::string::npos)
        << lines[3];
    EXPECT_NE(lines[4].find(" done 1 StartPump result=0 link=1"), std::string::npos);
}

struct SettingsCase {
    std::string ini;
    std::optional<fs::path> file;  // relative to the options file's directory
    std::uintmax_t maxBytes;
};

class TraceSettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(TraceSettingsTest, KeysGiveFileAndCap) {
    const fs::path cnf = fs::path("stations") / "east" / "cnf.INI";
    const auto settings = ReadTraceSettings(IniFile::Parse(GetParam().ini), cnf.string());
    ASSERT_EQ(settings.has_value(), GetParam().file.has_value());
    if (settings) {
        EXPECT_EQ(settings->path, cnf.parent_path() / *GetParam().file);
        EXPECT_EQ(settings->maxBytes, GetParam().maxBytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, TraceSettingsTest,
    ::testing::Values(
        SettingsCase{"[Varno]\nWStart=1\n", std::nullopt, 0},
        SettingsCase{"[Varno]\nTraceFile=\n", std::nullopt, 0},
        SettingsCase{"[Other]\nTraceFile=t.txt\n", std::nullopt, 0},
        SettingsCase{"[varno]\ntracefile = t.txt\n", "t.txt", 1024 * 1024},
        SettingsCase{"[Varno]\nTraceFile=t.txt\nTraceMaxKB=200\n", "t.txt", 200 * 1024},
        SettingsCase{"[Varno]\nTraceFile=t.txt\nTraceMaxKB=1\n", "t.txt", 16 * 1024},
        SettingsCase{"[Varno]\nTraceFile=t.txt\nTraceMaxKB=$7FFFFFFF\n", "t.txt",
                     1024 * 1024 * 1024},
        SettingsCase{"[Varno]\nTraceFile=t.txt\nTraceMaxKB=lots\n", "t.txt", 1024 * 1024},
        SettingsCase{"[Varno]\nTraceFile=\"log dir/t.txt\"\n", "log dir/t.txt", 1024 * 1024}));

TEST(TraceSettingsPathTest, APathInWindows1251OrUtf8NamesTheSameFile) {
    const auto cp1251 =
        ReadTraceSettings(IniFile::Parse("[Varno]\nTraceFile=\xD2\xD0\xCA.txt\n"), "cnf.INI");
    const auto utf8 = ReadTraceSettings(IniFile::Parse("[Varno]\nTraceFile=ТРК.txt\n"), "cnf.INI");
    ASSERT_TRUE(cp1251 && utf8);
    const std::u8string name = cp1251->path.filename().u8string();
    EXPECT_EQ(std::string(name.begin(), name.end()), "ТРК.txt");
    EXPECT_EQ(utf8->path, cp1251->path);
}

TEST_F(TraceFileTest, AFullFileBecomesThePredecessorAtAnOperationsBoundary) {
    auto clock = std::make_shared<ManualClock>();
    const fs::path path = dir_ / "t.trace";
    TraceFile file({path, 1000}, "test", clock);
    for (int n = 1; n <= 40; ++n) {
        Operation(file, *clock, n);
    }
    EXPECT_EQ(Files(), (std::set<fs::path>{"t.trace", "t.trace.1"}));
    for (const fs::path& name : {path, TraceFile::Predecessor(path)}) {
        const auto lines = Lines(name);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(KindOf(lines[0]), "trace") << name;
        // Cut only between operations: each file holds whole operations after its first line.
        EXPECT_EQ((lines.size() - 1) % 3, 0u) << name;
        // The cap holds, give or take the operation that passed it.
        EXPECT_LT(fs::file_size(name), 1000u + 3 * 100u);
    }
    // The newest lines are in the file, the ones before them in the predecessor.
    const auto last = ParseTraceLine(Lines(path).back());
    EXPECT_EQ(last.Integer("n", 0, 100), 40);
    const auto before = Lines(TraceFile::Predecessor(path));
    EXPECT_EQ(ParseTraceLine(before.back()).Integer("n", 0, 100) + 1,
              ParseTraceLine(Lines(path)[1]).Integer("n", 0, 100));
}

TEST_F(TraceFileTest, WithoutBoundariesTheCapStillHoldsAtTwiceItsSize) {
    auto clock = std::make_shared<ManualClock>();
    const fs::path path = dir_ / "t.trace";
    TraceFile file({path, 1000}, "test", clock);
    for (int n = 0; n < 100; ++n) {
        file.Record(TraceEvent(clock->now.wall, "serve").With("padding", std::string(60, 'y')));
    }
    EXPECT_TRUE(fs::exists(TraceFile::Predecessor(path)));
    EXPECT_LE(fs::file_size(path), 2000u + 100u);
}

TEST_F(TraceFileTest, AnEarlierRunsFileIsContinuedUntilItIsFull) {
    auto clock = std::make_shared<ManualClock>();
    const fs::path path = dir_ / "t.trace";
    {
        TraceFile file({path, 100000}, "test", clock);
        Operation(file, *clock, 1);
    }
    {
        TraceFile file({path, 100000}, "test", clock);
        Operation(file, *clock, 2);
    }
    const auto lines = Lines(path);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(KindOf(lines[4]), "trace");  // the second run begins where the first ended
    EXPECT_FALSE(fs::exists(TraceFile::Predecessor(path)));

    TraceFile small({path, 200}, "test", clock);  // already over this cap: moved aside first
    Operation(small, *clock, 3);
    EXPECT_EQ(Lines(TraceFile::Predecessor(path)).size(), 8u);
    EXPECT_EQ(Lines(path).size(), 4u);
}

TEST_F(TraceFileTest, LinesThatCannotBeWrittenAreCountedInTheNextThatCan) {
    auto clock = std::make_shared<ManualClock>();
    const fs::path blocker = dir_ / "logs";
    std::ofstream(blocker) << "a file where the directory should be";
    const fs::path path = blocker / "t.trace";
    TraceFile file({path, 100000}, "test", clock);

    Operation(file, *clock, 1);  // nothing throws, nothing is written
    EXPECT_FALSE(fs::exists(path));

    fs::remove(blocker);
    Operation(file, *clock, 2);  // within the pause after a failed open: still lost
    EXPECT_FALSE(fs::exists(path));

    clock->Advance(2s);
    Operation(file, *clock, 3);
    const auto lines = Lines(path);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(KindOf(lines[0]), "trace");
    const TraceEvent note = ParseTraceLine(lines[1]);
    EXPECT_EQ(note.kind, "note");
    EXPECT_EQ(note.Integer("lost", 0, 100), 6);  // both operations before it
    EXPECT_NE(note.Text("reason").find("cannot open"), std::string::npos) << note.Text("reason");
    EXPECT_EQ(ParseTraceLine(lines[2]).Integer("n", 0, 10), 3);
    // Reported once.
    Operation(file, *clock, 4);
    EXPECT_EQ(Lines(path).size(), 8u);
}

}  // namespace
}  // namespace fuel
