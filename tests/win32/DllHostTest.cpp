// The DLL as the host sees it: loaded with LoadLibrary, created through its exports, driven
// only through the object's table, every routine called by stack words as a 32-bit host's
// compiler pushes them, and every failure seen as the structured exception it arrives as.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "driver/TVM30.h"
#include "driver/Text1251.h"
#include "driver/Version.h"
#include "tests/win32/HostCalls.h"
#include "tests/win32/TestHost.h"

namespace fuel::test::win32 {
namespace {

using u32 = std::uint32_t;

// What the host's object points to, read only to show the options a factory set (a real
// host never looks behind the table).
struct DriverObjectView {
    const void* const* table;
    TVM30* driver;
};

std::vector<u32> Join(std::vector<u32> words, const std::vector<u32>& more) {
    words.insert(words.end(), more.begin(), more.end());
    return words;
}

std::string CnfIniPathOfPrefix() {
    char directory[MAX_PATH] = {};
    GetWindowsDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\cnf.INI";
}

class DllHost : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryA(FUEL_DLL_FILE);
        ASSERT_NE(module_, nullptr) << "LoadLibrary(" FUEL_DLL_FILE ") failed";
        getVE30_ = reinterpret_cast<const void*>(GetProcAddress(module_, "GetVE30"));
        getDriver25_ = reinterpret_cast<const void*>(GetProcAddress(module_, "GetDriver25"));
    }

    void SetUp() override {
        ASSERT_NE(module_, nullptr);
        DeleteFileA(CnfIniPathOfPrefix().c_str());
    }
    void TearDown() override { DeleteFileA(CnfIniPathOfPrefix().c_str()); }

    // The driver object from GetVE30 (3 words) or GetDriver25 (8 words).
    void* Create(u32 flags, bool driver25 = false) {
        void* const line = host_.Object();
        const std::vector<u32> words =
            driver25 ? std::vector<u32>{flags, 0xDEADBEEF, Word(line), 1, 2, 3, 4, 5}
                     : std::vector<u32>{flags, 0xDEADBEEF, Word(line)};
        const GuardedOutcome created =
            CallStdcallGuarded(driver25 ? getDriver25_ : getVE30_, words);
        EXPECT_FALSE(created.raised);
        EXPECT_EQ(created.call.stackImbalance, 0);
        return reinterpret_cast<void*>(static_cast<std::uintptr_t>(created.call.eax));
    }

    static const void* Routine(void* object, HostSlot slot) {
        return (*static_cast<const void* const* const*>(object))[SlotNumber(slot)];
    }

    GuardedOutcome Op(void* object, HostSlot slot, const std::vector<u32>& arguments,
                      Returns returns = Returns::Integer) {
        return CallStdcallGuarded(Routine(object, slot), Join({Word(object)}, arguments), returns);
    }

    static TVM30& Behind(void* object) { return *static_cast<DriverObjectView*>(object)->driver; }

    static HMODULE module_;
    static const void* getVE30_;
    static const void* getDriver25_;
    TestHost host_;
};

HMODULE DllHost::module_ = nullptr;
const void* DllHost::getVE30_ = nullptr;
const void* DllHost::getDriver25_ = nullptr;

void ExpectDriverFailure(const GuardedOutcome& outcome, const char* className,
                         const std::string& message) {
    ASSERT_TRUE(outcome.raised) << "expected " << className;
    EXPECT_EQ(outcome.code, kDriverExceptionCode);
    EXPECT_EQ(outcome.flags & EXCEPTION_NONCONTINUABLE, DWORD{EXCEPTION_NONCONTINUABLE});
    EXPECT_EQ(outcome.parameterCount, 2u);
    EXPECT_EQ(outcome.className, className);
    EXPECT_EQ(outcome.message, message);
}

void ExpectRangeError(const GuardedOutcome& outcome) {
    ExpectDriverFailure(outcome, "ERangeError", "Range check error");
}

// ---- Exports and factories.

TEST_F(DllHost, ExportsTheTwoFactoriesUnderTheirPlainNames) {
    EXPECT_NE(getVE30_, nullptr);
    EXPECT_NE(getDriver25_, nullptr);
    EXPECT_EQ(GetProcAddress(module_, "_GetVE30@12"), nullptr);
    EXPECT_EQ(GetProcAddress(module_, "GetVE30@12"), nullptr);
    EXPECT_EQ(GetProcAddress(module_, "GetDriver25@32"), nullptr);
}

TEST_F(DllHost, EachFactoryReturnsAnObjectWhoseFirstWordIsThe29SlotTable) {
    for (const bool driver25 : {false, true}) {
        void* object = Create(0, driver25);
        ASSERT_NE(object, nullptr);
        const void* const* table = *static_cast<const void* const* const*>(object);
        ASSERT_NE(table, nullptr);
        for (int slot = 0; slot < 29; ++slot) {
            EXPECT_NE(table[slot], nullptr) << "slot " << slot;
        }
    }
}

struct FlagsCase {
    u32 flags;
    bool startInLiter, wStart, wDoza;
};

class FactoryFlags : public DllHost,
                     public ::testing::WithParamInterface<std::tuple<bool, FlagsCase>> {};

TEST_P(FactoryFlags, OnlyBitsFourToSixOfTheLowByteSetTheOptionDefaults) {
    const auto [driver25, expected] = GetParam();
    void* object = Create(expected.flags, driver25);
    ASSERT_NE(object, nullptr);
    const TVM30& driver = Behind(object);
    EXPECT_EQ(driver.StartInLiter, expected.startInLiter);
    EXPECT_EQ(driver.WStart, expected.wStart);
    EXPECT_EQ(driver.WDoza, expected.wDoza);
    EXPECT_FALSE(driver.OrigAdres);
}

INSTANTIATE_TEST_SUITE_P(
    BothFactories, FactoryFlags,
    ::testing::Combine(
        ::testing::Bool(),
        ::testing::Values(FlagsCase{0x00, true, false, false}, FlagsCase{0x10, false, false, false},
                          FlagsCase{0x20, true, true, false}, FlagsCase{0x40, true, false, true},
                          FlagsCase{0x70, false, true, true},
                          FlagsCase{0x8F, true, false, false}, FlagsCase{0x170, false, true, true},
                          FlagsCase{0xFFFFFF00, true, false, false})));

TEST_F(DllHost, WDozaFromTheFlagsSendsTheLitreDoseTwice) {
    host_.answerEverything = true;
    void* once = Create(0x00);
    ASSERT_FALSE(Op(once, HostSlot::SetVolumeLimit, Join({1, 1, 1, 0}, Words(12.34))).raised);
    void* twice = Create(0x40);
    ASSERT_FALSE(Op(twice, HostSlot::SetVolumeLimit, Join({1, 1, 1, 0}, Words(12.34))).raised);

    const Bytes dose = {0x48, 0x01, 0x64, 0x30, 0x31, 0x32, 0x33, 0x34, 0xEC, 0x45};
    ASSERT_EQ(host_.sent.size(), 3u);
    for (const auto& sent : host_.sent) {
        EXPECT_EQ(sent.frame, dose);
    }
}

TEST_F(DllHost, CnfIniInTheWindowsDirectoryOverridesTheFlags) {
    const std::string path = CnfIniPathOfPrefix();
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr) << path;
        std::fputs("[Varno]\r\nOrigAdres=1\r\nWStart=0\r\nStartInLiter=1\r\n", file);
        std::fclose(file);
    }
    void* object = Create(0x70);
    ASSERT_NE(object, nullptr);
    const TVM30& driver = Behind(object);
    EXPECT_TRUE(driver.OrigAdres);
    EXPECT_FALSE(driver.WStart);
    EXPECT_TRUE(driver.StartInLiter);
    EXPECT_TRUE(driver.WDoza);  // absent from the file: the flags' default stays

    // Interleaved addressing on: dispenser 1, nozzle 2 is bus address 4.
    host_.QueueAck();
    ASSERT_FALSE(Op(object, HostSlot::StartPump, {1, 1, 2}).raised);
    ASSERT_EQ(host_.sent.size(), 1u);
    EXPECT_EQ(host_.sent[0].frame, (Bytes{0x48, 0x04, 0x75, 0x06, 0x45}));
}

std::string WindowsDirectory() {
    char directory[MAX_PATH] = {};
    GetWindowsDirectoryA(directory, MAX_PATH);
    return directory;
}

std::set<std::string> FilesIn(const std::string& directory) {
    std::set<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names.insert(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

std::vector<std::string> LinesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void WriteCnfIni(const std::string& text) {
    std::FILE* file = std::fopen(CnfIniPathOfPrefix().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs(text.c_str(), file);
    std::fclose(file);
}

// The trace as a station switches it on: two keys in cnf.INI, a file name relative to the
// Windows directory; every slot run writes its call, its exchanges and its outcome.
TEST_F(DllHost, TheTraceKeysInCnfIniMakeASlotRunWriteTheTrace) {
    const std::string path = WindowsDirectory() + "\\fuel-dll-test.trace";
    DeleteFileA(path.c_str());
    WriteCnfIni("[Varno]\r\nWStart=1\r\nTraceFile=fuel-dll-test.trace\r\nTraceMaxKB=64\r\n");
    void* object = Create(0);
    ASSERT_NE(object, nullptr);
    EXPECT_TRUE(Behind(object).WStart);  // the options are read as ever

    host_.QueueAck();
    ASSERT_FALSE(Op(object, HostSlot::StartPump, {1, 1, 1}).raised);
    host_.Queue({HostReply::Kind::Silence, {}, {}, {}, false});
    ExpectDriverFailure(Op(object, HostSlot::ReadParameter, {1, 1, 148}), "ESerialIO",
                        Utf8ToCp1251("Невозможно считать параметр"));

    const auto lines = LinesOf(path);
    DeleteFileA(path.c_str());
    ASSERT_EQ(lines.size(), 8u);
    const auto has = [&](std::size_t i, const std::string& part) {
        EXPECT_NE(lines[i].find(part), std::string::npos) << lines[i];
    };
    has(0, " trace format=1 source=driver");
    has(1, " options flags=0 OrigAdres=0 StartInLiter=1 WStart=1 WDoza=0");
    has(2, " call 1 StartPump ch=1 disp=1 nozzle=1");
    // The reply check ran as the host called it back, through its stdcall entry.
    has(3,
        " xchg ch=1 op=1 disp=1 frame=4801750345 result=0 state=1 verdict=accepted code=0 "
        "checks=1 ");
    has(4, " done 1 StartPump result=0 link=1");
    has(5, " call 2 ReadParameter ch=1 addr=1 cell=148");
    has(6, " xchg ch=1 op=2 disp=1 frame=48015839345345 result=1000 state=3 verdict=none ");
    // Messages in the trace are UTF-8, whatever the host is given.
    has(7, " fail 2 ReadParameter class=ESerialIO msg=\"Невозможно считать параметр\" link=3");
}

TEST_F(DllHost, WithoutTheTraceKeysNoTraceFileAppears) {
    WriteCnfIni("[Varno]\r\nWStart=1\r\n");
    const std::set<std::string> before = FilesIn(WindowsDirectory());
    void* object = Create(0);
    host_.QueueAck();
    ASSERT_FALSE(Op(object, HostSlot::StartPump, {1, 1, 1}).raised);
    EXPECT_EQ(FilesIn(WindowsDirectory()), before);
}

TEST_F(DllHost, TwoFactoryCallsGiveTwoIndependentObjects) {
    void* first = Create(0);
    void* second = Create(0, true);
    ASSERT_NE(first, second);
    ASSERT_FALSE(Op(first, HostSlot::SetLinkState, {4, 3}).raised);
    EXPECT_EQ(Op(first, HostSlot::GetLinkState, {4}).call.eax & 0xFF, 3u);
    EXPECT_EQ(Op(second, HostSlot::GetLinkState, {4}).call.eax & 0xFF, 1u);

    // Each registers itself as the reply check's object.
    host_.QueueAck();
    ASSERT_FALSE(Op(second, HostSlot::StartPump, {1, 1, 1}).raised);
    EXPECT_EQ(host_.validators[1].object, second);
    host_.QueueAck();
    ASSERT_FALSE(Op(first, HostSlot::StartPump, {1, 1, 1}).raised);
    EXPECT_EQ(host_.validators[1].object, first);
}

// ---- The version resource, as Explorer and a host that checks versions read it.

std::wstring VersionString(const std::vector<std::uint8_t>& block, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
        length == 0) {
        return L"(none)";
    }
    return std::wstring(value, length - 1);
}

TEST_F(DllHost, TheVersionResourceCarriesTheBuildsVersion) {
    wchar_t file[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(module_, file, MAX_PATH), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
    ASSERT_NE(size, 0u);
    std::vector<std::uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(file, 0, size, block.data()));

    const std::string text = kVersion;
    const std::wstring version(text.begin(), text.end());
    EXPECT_EQ(VersionString(block, L"FileVersion"), version);
    EXPECT_EQ(VersionString(block, L"ProductVersion"), version);
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"fueldriver.dll");
    for (const wchar_t* name :
         {L"CompanyName", L"FileDescription", L"LegalCopyright", L"ProductName"}) {
        EXPECT_NE(VersionString(block, name), L"(none)") << "no " << name;
    }

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(kVersion, "%u.%u.%u", &major, &minor, &patch), 3);
    EXPECT_EQ(fixed->dwFileVersionMS, (major << 16) | minor);
    EXPECT_EQ(fixed->dwFileVersionLS, patch << 16);
    EXPECT_EQ(fixed->dwFileType, DWORD{VFT_DLL});
}

// ---- Operations through the table.

TEST_F(DllHost, ProtocolDescriptionIs27BytesOfWindows1251) {
    void* object = Create(0);
    std::array<std::uint8_t, 256> result;
    result.fill(0xCC);
    const GuardedOutcome outcome =
        Op(object, HostSlot::GetProtocolDescription, {Word(result.data())});
    ASSERT_FALSE(outcome.raised);
    EXPECT_EQ(outcome.call.stackImbalance, 0);
    const std::array<std::uint8_t, 28> expected = {
        26,   'v', '2',  '.', '5',  '0',  '#',  0xCF, 0xF0, 0xEE, 0xF2, 0xEE, 0xEA, 0xEE,
        0xEB, ' ', 0xEA, ' ', 0xD2, 0xD0, 0xCA, '-',  0xC2, 0xC0, 0xD0, 0xCD, 0xCE, 0xCC};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), result.begin()));
}

TEST_F(DllHost, LinkStateSlotsUseTheLowByteOfTheirArguments) {
    void* object = Create(0);
    for (u32 channel = 1; channel <= 32; ++channel) {
        EXPECT_EQ(Op(object, HostSlot::GetLinkState, {channel}).call.eax & 0xFF, 1u) << channel;
    }
    ASSERT_FALSE(Op(object, HostSlot::SetLinkState, {0x1205, 0x3403}).raised);
    EXPECT_EQ(Op(object, HostSlot::GetLinkState, {5}).call.eax & 0xFF, 3u);
    EXPECT_EQ(Op(object, HostSlot::GetLinkState, {0xAB05}).call.eax & 0xFF, 3u);
}

TEST_F(DllHost, ReservedSlotsReturnZeroAndTouchNothing) {
    void* object = Create(0);
    const GuardedOutcome query = Op(object, HostSlot::ReservedQuery, {0xFFFFFFFF});
    ASSERT_FALSE(query.raised);
    EXPECT_EQ(query.call.eax, 0u);
    EXPECT_FALSE(Op(object, HostSlot::ReservedOperationA, {1, 2, 3, 4, 5, 6, 7}).raised);
    EXPECT_FALSE(Op(object, HostSlot::ReservedOperationB, {1, 2, 3}).raised);
    EXPECT_FALSE(Op(object, HostSlot::ReservedOperationC, {1, 2}).raised);
    EXPECT_FALSE(Op(object, HostSlot::ReservedOperationD, {1, 2}).raised);
    EXPECT_TRUE(host_.sent.empty());
    EXPECT_TRUE(host_.channelStates.empty());
    for (u32 channel = 1; channel <= 32; ++channel) {
        EXPECT_EQ(Op(object, HostSlot::GetLinkState, {channel}).call.eax & 0xFF, 1u);
    }
}

TEST_F(DllHost, SlotZeroRaisesTheAbstractErrorAndTheMenuSlotRefusesNullPointers) {
    void* object = Create(0);
    ExpectDriverFailure(Op(object, HostSlot::AbstractOperation, {}), "EAbstractError",
                        "Abstract Error");
    ExpectRangeError(Op(object, HostSlot::AddMenuItems, {0, 0}));
}

TEST_F(DllHost, OutOfRangeArgumentsRaiseTheRangeErrorBeforeAnythingIsSent) {
    void* object = Create(0);
    ExpectRangeError(Op(object, HostSlot::GetLinkState, {0}));
    ExpectRangeError(Op(object, HostSlot::GetLinkState, {33}));
    ExpectRangeError(Op(object, HostSlot::SetLinkState, {33, 1}));
    ExpectRangeError(Op(object, HostSlot::StartPump, {33, 1, 1}));
    ExpectRangeError(Op(object, HostSlot::StartPump, {1, 33, 1}));
    ExpectRangeError(Op(object, HostSlot::StopPump, {0x101, 1, 1}));
    // A 32-bit channel of 256 or more is checked before it is narrowed.
    ExpectRangeError(Op(object, HostSlot::ReadParameter, {0x101, 1, 0}));
    ExpectRangeError(Op(object, HostSlot::WriteParameter, {1, 0x100, 0, 0}));
    EXPECT_TRUE(host_.sent.empty());
}

// The host's own failure out of its line reaches the host again as the operation's failure.
TEST_F(DllHost, ADispenserThatDoesNotAnswerFailsWithTheOperationsMessage) {
    void* object = Create(0);
    ExpectDriverFailure(Op(object, HostSlot::StartPump, {1, 1, 1}), "ESerialIO",
                        "Can't START POMP");
    host_.Queue({HostReply::Kind::Silence, {}, {}, {}, false});
    ExpectDriverFailure(Op(object, HostSlot::SetPrice, Join({1, 1, 1, 0, 0}, Words(12.34))),
                        "ESerialIO",
                        "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xF3\xF1\xF2\xE0\xED\xEE\xE2"
                        "\xE8\xF2\xFC \xF6\xE5\xED\xF3");
}

// ---- Stack discipline: every slot removes exactly its own arguments.

struct StackCase {
    HostSlot slot;
    std::size_t words;  // including the object: ret N / 4
    Returns returns;
};

TEST_F(DllHost, EverySlotRemovesExactlyItsArguments) {
    host_.answerEverything = true;
    void* object = Create(0x10);  // money doses go out as money: no price needed
    std::array<std::uint8_t, 256> text{};
    double volume = 0, amount = 0;
    u32 value = 0;
    std::array<std::uint8_t, 20> record{};
    const std::vector<std::pair<StackCase, std::vector<u32>>> cases = {
        {{HostSlot::GetProtocolDescription, 2, Returns::Integer}, {Word(text.data())}},
        {{HostSlot::SetLinkState, 3, Returns::Integer}, {1, 1}},
        {{HostSlot::GetLinkState, 2, Returns::Integer}, {1}},
        {{HostSlot::StopPump, 4, Returns::Integer}, {1, 1, 1}},
        {{HostSlot::ReservedQuery, 2, Returns::Integer}, {0}},
        {{HostSlot::GetFinalDispensedData, 5, Returns::Integer},
         {1, 1, Word(&volume), Word(&amount)}},
        {{HostSlot::GetTotalizer, 8, Returns::Integer},
         {1, 1, 1, Word(&volume), Word(&amount), 0, 0}},
        {{HostSlot::ReservedOperationA, 8, Returns::Integer}, {1, 2, 3, 4, 5, 6, 7}},
        {{HostSlot::GetDispensedData, 4, Returns::Double}, {1, 1, Word(&amount)}},
        {{HostSlot::GetStatusCode, 3, Returns::Integer}, {1, 1}},
        {{HostSlot::SetPrice, 8, Returns::Integer}, Join({1, 1, 1, 0, 0}, Words(0.0))},
        {{HostSlot::ReservedOperationB, 4, Returns::Integer}, {1, 2, 3}},
        {{HostSlot::SetVolumeLimit, 7, Returns::Integer}, Join({1, 1, 1, 0}, Words(1.0))},
        {{HostSlot::SetMoneyLimit, 7, Returns::Integer}, Join({1, 1, 1, 0}, Words(1.0))},
        {{HostSlot::StartPump, 4, Returns::Integer}, {1, 1, 1}},
        {{HostSlot::InitLink, 2, Returns::Integer}, {1}},
        {{HostSlot::ReadParameter, 4, Returns::Integer}, {1, 1, 0}},
        {{HostSlot::WriteParameter, 5, Returns::Integer}, {1, 1, 0, 0}},
        {{HostSlot::StartFill, 5, Returns::Integer}, {1, 1, 1, 0}},
        {{HostSlot::GetDriverInfo, 3, Returns::Integer}, {1, Word(&value)}},
        {{HostSlot::PollDispenserStatus, 5, Returns::Integer}, {1, 1, 1, Word(record.data())}},
        {{HostSlot::StopFillOnRequest, 5, Returns::Integer}, {1, 1, 0, 1}},
        {{HostSlot::StopFill, 5, Returns::Integer}, {1, 1, 0, 0}},
        {{HostSlot::ReservedOperationC, 3, Returns::Integer}, {1, 2}},
        {{HostSlot::ReservedOperationD, 3, Returns::Integer}, {1, 2}},
        {{HostSlot::PollDispenserStatusEx, 5, Returns::Integer}, {1, 1, 1, Word(record.data())}},
        {{HostSlot::HandleHostEvent, 6, Returns::Integer}, {4, 0, 1, 1, 1}},
    };
    for (const auto& [expected, arguments] : cases) {
        ASSERT_EQ(arguments.size() + 1, expected.words) << "slot " << SlotNumber(expected.slot);
        const GuardedOutcome outcome = Op(object, expected.slot, arguments, expected.returns);
        ASSERT_FALSE(outcome.raised) << "slot " << SlotNumber(expected.slot) << " raised "
                                     << std::hex << outcome.code << " " << outcome.className;
        EXPECT_EQ(outcome.call.stackImbalance, 0) << "slot " << SlotNumber(expected.slot);
    }
}

TEST_F(DllHost, HandlersRemoveExactlyTheirArguments) {
    host_.configureResult = 17;
    void* object = Create(0);
    const GuardedOutcome init = Op(object, HostSlot::InitLink, {2});
    ASSERT_FALSE(init.raised);
    EXPECT_EQ(init.call.eax, 17u);
    EXPECT_EQ(host_.initializers[2].object, object);
    ASSERT_EQ(host_.configureCalls.size(), 1u);
    EXPECT_EQ(host_.configureCalls[0].timeout, 75u);
    EXPECT_EQ(host_.configureCalls[0].baudRate, 4800u);

    // The host applies the line settings again whenever it chooses.
    host_.configureResult = 23;
    const GuardedOutcome again = host_.CallInitializer(2);
    ASSERT_FALSE(again.raised);
    EXPECT_EQ(again.call.stackImbalance, 0);
    EXPECT_EQ(again.call.eax, 23u);
    EXPECT_EQ(host_.configureCalls.size(), 2u);

    host_.QueueAck();
    ASSERT_FALSE(Op(object, HostSlot::StartPump, {2, 1, 1}).raised);
    const std::uint8_t reply[1] = {'A'};
    const std::uint8_t one = 1;
    const GuardedOutcome check = host_.CallValidator(2, reply, 0, &one, &one);
    ASSERT_FALSE(check.raised);
    EXPECT_EQ(check.call.stackImbalance, 0);
    EXPECT_EQ(check.call.eax & 0xFF, 1u);
}

// ---- Frames, double arguments and results, out-pointers, hidden result pointers.

TEST_F(DllHost, StartAndStopFramesReachTheHostByteForByte) {
    void* object = Create(0);
    ASSERT_FALSE(Op(object, HostSlot::SetLinkState, {1, 3}).raised);
    host_.QueueAck();
    host_.QueueAck();
    const GuardedOutcome start = Op(object, HostSlot::StartPump, {1, 1, 1});
    const GuardedOutcome stop = Op(object, HostSlot::StopPump, {1, 1, 1});
    ASSERT_FALSE(start.raised);
    ASSERT_FALSE(stop.raised);
    EXPECT_EQ(start.call.eax, 0u);
    ASSERT_EQ(host_.sent.size(), 2u);
    EXPECT_EQ(host_.sent[0].frame, (Bytes{0x48, 0x01, 0x75, 0x03, 0x45}));
    EXPECT_EQ(host_.sent[1].frame, (Bytes{0x48, 0x01, 0x73, 0x01, 0x45}));
    for (const auto& sent : host_.sent) {
        EXPECT_EQ(sent.channel, 1u);
        EXPECT_EQ(sent.replyLength, 1u);
        EXPECT_EQ(sent.reserved, 0u);
    }
    EXPECT_EQ(host_.lastCheckResult, 1u);
    EXPECT_EQ(host_.channelStates, (std::vector<std::int32_t>{1, 1}));
    EXPECT_EQ(host_.channelErrors, (std::vector<std::int32_t>{0, 0}));
    // The host's GetChannelState fills the rest of EAX with garbage; only its low byte counts.
    EXPECT_EQ(Op(object, HostSlot::GetLinkState, {1}).call.eax & 0xFF, 1u);
}

TEST_F(DllHost, SetPriceTakesItsDoubleFromTwoStackWords) {
    void* object = Create(0);
    host_.QueueAck();
    host_.QueueReply({0x41, 0x48, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0xE7, 0x45});
    const GuardedOutcome price =
        Op(object, HostSlot::SetPrice, Join({1, 1, 1, 0, 0}, Words(12.34)));
    ASSERT_FALSE(price.raised) << price.className;
    ASSERT_EQ(host_.sent.size(), 2u);
    EXPECT_EQ(host_.sent[0].frame, (Bytes{0x48, 0x01, 0x63, 0x31, 0x32, 0x33, 0x34, 0xBB, 0x45}));
    EXPECT_EQ(host_.sent[1].frame, (Bytes{0x48, 0x01, 0x43, 0xD1, 0x45}));
    EXPECT_EQ(host_.sent[1].replyLength, 11u);
}

TEST_F(DllHost, DispensedVolumeComesBackInSt0AndTheAmountThroughItsPointer) {
    void* object = Create(0);
    // A poll leaves 12.34 litres on nozzle 1 (status 0x22: fill running).
    host_.QueueReply({0x41, 0x48, 0x30, 0x30, 0x22, 0x30, 0x30, 0x31, 0x32, 0x33, 0x34, 0x30, 0x30,
                      0x30, 0x30, 0x30, 0x29, 0x45});
    std::array<std::uint8_t, 20> record;
    record.fill(0xCC);
    ASSERT_FALSE(Op(object, HostSlot::PollDispenserStatus, {1, 1, 1, Word(record.data())}).raised);
    // The 16-byte record: summary 217, nozzle 1's word, nozzles 2..6 as the caller had them,
    // the nozzle of the summary, a zero; nothing past it.
    const std::array<std::uint8_t, 20> polled = {0xD9, 0x00, 0xD9, 0x00, 0xCC, 0xCC, 0xCC,
                                                 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC,
                                                 0x01, 0x00, 0xCC, 0xCC, 0xCC, 0xCC};
    EXPECT_EQ(record, polled);

    host_.QueueReply({0x41, 0x48, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30,
                      0x30, 0x30, 0x30, 0x2D, 0x45});
    double amount = -1;
    const GuardedOutcome data =
        Op(object, HostSlot::GetDispensedData, {1, 1, Word(&amount)}, Returns::Double);
    ASSERT_FALSE(data.raised);
    EXPECT_EQ(data.call.stackImbalance, 0);
    EXPECT_DOUBLE_EQ(data.call.st0, 12.34);
    EXPECT_DOUBLE_EQ(amount, 0.0);
    EXPECT_EQ(host_.sent.back().frame, (Bytes{0x48, 0x01, 0x55, 0xE3, 0x45}));
}

TEST_F(DllHost, TotalizerFillsBothOutPointers) {
    void* object = Create(0);
    host_.QueueReply({0x41, 0x48, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x32, 0x33,
                      0x34, 0x35, 0x36, 0x30, 0x30, 0x30, 0x30, 0x30, 0xA2, 0x45});
    double volumeTotal = -1, moneyTotal = -1;
    ASSERT_FALSE(
        Op(object, HostSlot::GetTotalizer, {1, 1, 1, Word(&volumeTotal), Word(&moneyTotal), 0, 0})
            .raised);
    EXPECT_DOUBLE_EQ(volumeTotal, 1234.56);
    EXPECT_DOUBLE_EQ(moneyTotal, 0.0);
    EXPECT_EQ(host_.sent.back().frame, (Bytes{0x48, 0x01, 0x53, 0xE1, 0x45}));
}

TEST_F(DllHost, ParameterReadReturnsTheCellInEax) {
    void* object = Create(0);
    host_.QueueReply({0x41, 0x48, 0x30, 0x30, 0x30, 0x33, 0x43, 0x30, 0x30, 0xF3, 0x45});
    const GuardedOutcome read = Op(object, HostSlot::ReadParameter, {1, 7, 148});
    ASSERT_FALSE(read.raised);
    EXPECT_EQ(read.call.eax, 0x33u);
    EXPECT_EQ(host_.sent.back().frame, (Bytes{0x48, 0x07, 0x58, 0x39, 0x34, 0x59, 0x45}));
}

TEST_F(DllHost, DriverInfoAnswersInAlAndThroughItsPointer) {
    void* object = Create(0);
    u32 value = 0xFFFFFFFF;
    const GuardedOutcome known = Op(object, HostSlot::GetDriverInfo, {7, Word(&value)});
    ASSERT_FALSE(known.raised);
    EXPECT_EQ(known.call.eax & 0xFF, 1u);
    EXPECT_EQ(value, 400u);
    EXPECT_EQ(Op(object, HostSlot::GetDriverInfo, {0, Word(&value)}).call.eax & 0xFF, 0u);
}

TEST_F(DllHost, ExtendedPollWritesTwentyBytesAndKeepsByteFifteen) {
    host_.answerEverything = true;
    void* object = Create(0);
    std::array<std::uint8_t, 24> record;
    record.fill(0xCC);
    ASSERT_FALSE(
        Op(object, HostSlot::PollDispenserStatusEx, {1, 1, 0, Word(record.data())}).raised);
    std::array<std::uint8_t, 24> expected{};
    expected[15] = 0xCC;
    for (std::size_t i = 20; i < 24; ++i) {
        expected[i] = 0xCC;
    }
    EXPECT_EQ(record, expected);
}

// ---- The hidden result pointer of slots 1, 21 and 27, in either place a host puts it.

// A poll reply for nozzle 1 with a fill running (code 217), and a cell read of 0.
const Bytes kRunningReply = {0x41, 0x48, 0x30, 0x30, 0x22, 0x30, 0x30, 0x31, 0x32,
                             0x33, 0x34, 0x30, 0x30, 0x30, 0x30, 0x30, 0x29, 0x45};
const Bytes kCellZeroReply = {0x41, 0x48, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0xDD, 0x45};

struct LayoutCase {
    const char* name;
    HostSlot slot;
    std::vector<u32> arguments;  // the declared ones, after the object
    std::size_t resultSize;
};

class ResultLayouts : public DllHost, public ::testing::WithParamInterface<LayoutCase> {
  protected:
    struct Seen {
        std::vector<std::uint8_t> result;
        std::vector<Bytes> frames;
    };
    // A fresh object on a fresh script, called with the result pointer after the arguments
    // or before the object.
    Seen Call(bool resultFirst) {
        const LayoutCase& c = GetParam();
        host_.sent.clear();
        void* object = Create(0);
        std::vector<std::uint8_t> result(c.resultSize + 4, 0xCC);
        const u32 pointer = Word(result.data());
        const std::vector<u32> words = resultFirst
                                           ? Join({pointer, Word(object)}, c.arguments)
                                           : Join(Join({Word(object)}, c.arguments), {pointer});
        const GuardedOutcome outcome = CallStdcallGuarded(Routine(object, c.slot), words);
        EXPECT_FALSE(outcome.raised) << outcome.className << ": " << outcome.message;
        EXPECT_EQ(outcome.call.stackImbalance, 0);
        Seen seen{result, {}};
        for (const TestHost::Sent& sent : host_.sent) {
            seen.frames.push_back(sent.frame);
        }
        return seen;
    }
};

TEST_P(ResultLayouts, BothPlacesGiveTheSameResultAndFrames) {
    host_.answerEverything = true;
    const Seen after = Call(false);
    const Seen before = Call(true);
    EXPECT_EQ(after.result, before.result);
    EXPECT_EQ(after.frames, before.frames);
    // The result was written, and not past its size.
    EXPECT_NE(after.result[0], 0xCC);
    EXPECT_EQ(after.result[GetParam().resultSize], 0xCC);
}

TEST_P(ResultLayouts, WordsThatAreNoDriverObjectAreARangeErrorWithNothingSent) {
    host_.answerEverything = true;
    void* object = Create(0);
    // A copy of a real object looks like one byte for byte, but is not one the factories made.
    const DriverObjectView lookalike = *static_cast<DriverObjectView*>(object);
    std::vector<std::uint8_t> result(GetParam().resultSize, 0xCC);
    const std::vector<std::vector<u32>> firstTwoWords = {
        {Word(result.data()), 1},  // a record and a channel
        {0x10, 0x20},              // unreadable addresses
        {Word(&lookalike), Word(&lookalike)},
        {0, 0},
    };
    for (const std::vector<u32>& first : firstTwoWords) {
        std::vector<u32> words = first;
        for (std::size_t i = 1; i < GetParam().arguments.size() + 1; ++i) {
            words.push_back(1);
        }
        ExpectRangeError(CallStdcallGuarded(Routine(object, GetParam().slot), words));
    }
    EXPECT_TRUE(host_.sent.empty());
    EXPECT_EQ(result, std::vector<std::uint8_t>(GetParam().resultSize, 0xCC));
}

INSTANTIATE_TEST_SUITE_P(
    Slots, ResultLayouts,
    ::testing::Values(LayoutCase{"ProtocolDescription", HostSlot::GetProtocolDescription, {}, 27},
                      LayoutCase{"Poll", HostSlot::PollDispenserStatus, {1, 1, 1}, 16},
                      LayoutCase{"PollEx", HostSlot::PollDispenserStatusEx, {1, 1, 1}, 20}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

// ---- What the host's record holds after a failed poll.

TEST_F(DllHost, ADispenserAbove32StillZeroesTheSummaryBytesOfTheRecord) {
    void* object = Create(0);
    std::array<std::uint8_t, 16> record;
    record.fill(0xAB);
    ExpectDriverFailure(Op(object, HostSlot::PollDispenserStatus, {1, 33, 1, Word(record.data())}),
                        "Exception", Utf8ToCp1251("Номер колонки выходит за допустимый диапозон"));
    std::array<std::uint8_t, 16> expected;
    expected.fill(0xAB);
    expected[0] = expected[1] = expected[14] = expected[15] = 0;
    EXPECT_EQ(record, expected);
    EXPECT_TRUE(host_.sent.empty());
}

TEST_F(DllHost, AFailedPollLeavesTheNozzlesPolledBeforeItInTheRecord) {
    void* object = Create(0);
    host_.QueueReply(kRunningReply);
    host_.Queue({HostReply::Kind::Silence, {}, {}, {}, false});
    std::array<std::uint8_t, 16> record;
    record.fill(0xEE);
    ExpectDriverFailure(Op(object, HostSlot::PollDispenserStatus, {1, 1, 2, Word(record.data())}),
                        "ESerialIO",
                        Utf8ToCp1251("Невозможно выполнить опрос состояния пистолета (Варно)"));
    // Summary 217 from nozzle 1 and its word; nozzle 2 never got a code.
    const std::array<std::uint8_t, 16> expected = {0xD9, 0x00, 0xD9, 0x00, 0xEE, 0xEE, 0xEE, 0xEE,
                                                   0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x01, 0x00};
    EXPECT_EQ(record, expected);
    EXPECT_EQ(host_.sent.size(), 2u);
}

TEST_F(DllHost, AFailedExtendedPollLeavesTheCallersTwentyBytesAlone) {
    void* object = Create(0);
    host_.QueueReply(kCellZeroReply);  // the mode: cell 148
    host_.QueueReply(kRunningReply);
    host_.Queue({HostReply::Kind::Silence, {}, {}, {}, false});
    std::array<std::uint8_t, 20> record;
    record.fill(0xEE);
    ExpectDriverFailure(Op(object, HostSlot::PollDispenserStatusEx, {1, 1, 2, Word(record.data())}),
                        "ESerialIO",
                        Utf8ToCp1251("Невозможно выполнить опрос состояния пистолета (Варно)"));
    std::array<std::uint8_t, 20> untouched;
    untouched.fill(0xEE);
    EXPECT_EQ(record, untouched);
    EXPECT_EQ(host_.sent.size(), 3u);
}

// ---- Structured exceptions in both directions.

TEST_F(DllHost, TransactRaisingFailsTheOperationAndKeepsLinkState) {
    void* object = Create(0);
    ASSERT_FALSE(Op(object, HostSlot::SetLinkState, {1, 7}).raised);
    host_.QueueRaise();
    ExpectDriverFailure(Op(object, HostSlot::StartPump, {1, 1, 1}), "ESerialIO",
                        "Can't START POMP");
    EXPECT_TRUE(host_.transactLog.ran);
    EXPECT_EQ(host_.transactLog.unwoundBy, kHostExceptionCode);
    EXPECT_EQ(host_.getChannelErrorCalls, 1);
    EXPECT_EQ(Op(object, HostSlot::GetLinkState, {1}).call.eax & 0xFF, 7u);

    // The thread's handler chain is whole again: the next exchange works.
    host_.QueueAck();
    EXPECT_FALSE(Op(object, HostSlot::StartPump, {1, 1, 1}).raised);
}

TEST_F(DllHost, GetChannelStateRaisingIsCaughtLikeTransact) {
    void* object = Create(0);
    ASSERT_FALSE(Op(object, HostSlot::SetLinkState, {1, 7}).raised);
    host_.raiseInGetChannelState = true;
    host_.QueueAck();
    ExpectDriverFailure(Op(object, HostSlot::StartPump, {1, 1, 1}), "ESerialIO",
                        "Can't START POMP");
    EXPECT_EQ(host_.getChannelErrorCalls, 1);
    host_.raiseInGetChannelState = false;
    EXPECT_EQ(Op(object, HostSlot::GetLinkState, {1}).call.eax & 0xFF, 7u);
}

class ReplyCountBeyondHigh : public DllHost, public ::testing::WithParamInterface<std::int32_t> {};

// The reply check's range error crosses the host's frames as the driver's structured
// exception, the host's termination handler runs, and Exchange answers with the host's
// GetChannelError: a non-zero code fails the start, a zero one lets it pass.
TEST_P(ReplyCountBeyondHigh, CrossesTheHostsFramesAndEndsInGetChannelError) {
    const std::int32_t channelError = GetParam();
    void* object = Create(0);
    ASSERT_FALSE(Op(object, HostSlot::SetLinkState, {1, 7}).raised);
    HostReply reply;
    reply.bytes = {'A', 'H', '0', '0', 'E'};
    reply.receivedCount = 5;
    reply.high = 0;
    host_.Queue(reply);
    host_.errors[1] = channelError;
    const GuardedOutcome start = Op(object, HostSlot::StartPump, {1, 1, 1});
    if (channelError != 0) {
        ExpectDriverFailure(start, "ESerialIO", "Can't START POMP");
    } else {
        EXPECT_FALSE(start.raised);
    }
    EXPECT_TRUE(host_.transactLog.ran);
    EXPECT_EQ(host_.transactLog.unwoundBy, kDriverExceptionCode);
    EXPECT_EQ(host_.transactLog.className, "ERangeError");
    EXPECT_EQ(host_.getChannelErrorCalls, 1);
    EXPECT_TRUE(host_.channelStates.empty());  // the check ended before its verdict
    EXPECT_EQ(Op(object, HostSlot::GetLinkState, {1}).call.eax & 0xFF, 7u);
}

INSTANTIATE_TEST_SUITE_P(HostCodes, ReplyCountBeyondHigh, ::testing::Values(4242, 0));

TEST_F(DllHost, ANullCountFromTheHostIsARangeErrorNotACrash) {
    void* object = Create(0);
    HostReply reply;
    reply.bytes = {'A'};
    reply.nullReceivedCount = true;
    host_.Queue(reply);
    host_.errors[1] = 99;
    ExpectDriverFailure(Op(object, HostSlot::StartPump, {1, 1, 1}), "ESerialIO",
                        "Can't START POMP");
    EXPECT_EQ(host_.transactLog.className, "ERangeError");

    // Called by the host directly, outside any exchange, the check raises to the host.
    const std::uint8_t one = 1;
    ExpectRangeError(host_.CallValidator(1, nullptr, 0, &one, &one));
    ExpectRangeError(host_.CallValidator(1, &one, 0, &one, nullptr));
}

TEST_F(DllHost, AHostExceptionOutsideTransactReachesTheHostWithItsOwnCode) {
    void* object = Create(0);
    host_.raiseInSetReplyValidator = true;
    const GuardedOutcome start = Op(object, HostSlot::StartPump, {1, 1, 1});
    ASSERT_TRUE(start.raised);
    EXPECT_EQ(start.code, kHostExceptionCode);
    ASSERT_EQ(start.parameterCount, 2u);
    EXPECT_EQ(start.parameters[0], 0x11111111u);
    EXPECT_EQ(start.parameters[1], 0x22222222u);
    EXPECT_TRUE(host_.sent.empty());
}

TEST_F(DllHost, NullPointersFromTheHostAreRangeErrors) {
    host_.answerEverything = true;
    void* object = Create(0);
    double number = 0;
    ExpectRangeError(Op(object, HostSlot::GetProtocolDescription, {0}));
    ExpectRangeError(Op(object, HostSlot::GetFinalDispensedData, {1, 1, Word(&number), 0}));
    ExpectRangeError(Op(object, HostSlot::GetFinalDispensedData, {1, 1, 0, Word(&number)}));
    ExpectRangeError(Op(object, HostSlot::GetTotalizer, {1, 1, 1, 0, Word(&number), 0, 0}));
    ExpectRangeError(Op(object, HostSlot::GetDispensedData, {1, 1, 0}, Returns::Double));
    ExpectRangeError(Op(object, HostSlot::GetDriverInfo, {1, 0}));
    ExpectRangeError(Op(object, HostSlot::PollDispenserStatus, {1, 1, 1, 0}));
    ExpectRangeError(Op(object, HostSlot::PollDispenserStatusEx, {1, 1, 1, 0}));
}

TEST_F(DllHost, ADriverWithoutALineFailsItsCommandsInsteadOfCrashing) {
    const GuardedOutcome created = CallStdcallGuarded(getVE30_, {0, 0, 0});
    ASSERT_FALSE(created.raised);
    void* lineless = reinterpret_cast<void*>(static_cast<std::uintptr_t>(created.call.eax));
    ASSERT_NE(lineless, nullptr);
    ExpectRangeError(Op(lineless, HostSlot::StartPump, {1, 1, 1}));
    ExpectRangeError(Op(lineless, HostSlot::InitLink, {1}));
    EXPECT_EQ(Op(lineless, HostSlot::GetLinkState, {1}).call.eax & 0xFF, 1u);
}

}  // namespace
}  // namespace fuel::test::win32
