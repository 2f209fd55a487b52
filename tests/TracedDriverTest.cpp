// The driver with its trace on: every host operation with its arguments and outcome, nested
// calls marked, every exchange with the reply check's verdict, and not one decision changed.
#include <gtest/gtest.h>

#include <functional>

#include "driver/TracedDriver.h"
#include "testing/RecordingLink.h"
#include "tests/DriverFixture.h"

namespace fuel {
namespace {

using test::Bytes;
using test::DataReply;
using test::GivenDispenser;
using test::RecordingLink;

// Lines without their time stamps, one a string.
std::vector<std::string> LinesOf(const std::vector<TraceEvent>& events) {
    std::vector<std::string> lines;
    for (const TraceEvent& event : events) {
        lines.push_back(FormatTraceLine(event).substr(28));
    }
    return lines;
}

// The lines of the given kinds only.
std::vector<std::string> Only(const std::vector<TraceEvent>& events,
                              std::initializer_list<std::string_view> kinds) {
    std::vector<TraceEvent> kept;
    for (const TraceEvent& event : events) {
        if (std::find(kinds.begin(), kinds.end(), event.kind) != kinds.end()) {
            kept.push_back(event);
        }
    }
    return LinesOf(kept);
}

bool StartsWith(const std::string& line, const std::string& start) {
    return line.rfind(start, 0) == 0;
}

class TracedDriverTest : public ::testing::Test {
  protected:
    RecordingLink link;
    std::shared_ptr<MemoryTraceSink> sink = std::make_shared<MemoryTraceSink>();
    TracedDriver driver{0, &link, "", sink};
};

struct OperationCase {
    const char* name;
    std::function<void(TVM30&)> run;
    const char* call;
    const char* end;
};

class TracedOperationTest : public TracedDriverTest,
                            public ::testing::WithParamInterface<OperationCase> {};

TEST_P(TracedOperationTest, ArgumentsAndOutcome) {
    try {
        GetParam().run(driver);
    } catch (const Exception&) {
    }
    const auto lines = Only(sink->events, {"call", "done", "fail"});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], GetParam().call);
    EXPECT_EQ(lines[1], GetParam().end);
}

INSTANTIATE_TEST_SUITE_P(
    NoExchange, TracedOperationTest,
    ::testing::Values(
        OperationCase{"SetLinkState", [](TVM30& d) { d.SetLinkState(4, 3); },
                      "call 1 SetLinkState ch=4 value=3", "done 1 SetLinkState link=3"},
        OperationCase{"GetLinkState", [](TVM30& d) { d.GetLinkState(2); },
                      "call 1 GetLinkState ch=2", "done 1 GetLinkState result=1 link=1"},
        OperationCase{"GetDriverInfo",
                      [](TVM30& d) {
                          std::uint32_t v = 0;
                          d.GetDriverInfo(7, v);
                      },
                      "call 1 GetDriverInfo key=7", "done 1 GetDriverInfo result=1 value=400"},
        OperationCase{"GetDriverInfoUnknown",
                      [](TVM30& d) {
                          std::uint32_t v = 0;
                          d.GetDriverInfo(11, v);
                      },
                      "call 1 GetDriverInfo key=11", "done 1 GetDriverInfo result=0"},
        OperationCase{"GetProtocolDescription", [](TVM30& d) { d.GetProtocolDescription(); },
                      "call 1 GetProtocolDescription",
                      "done 1 GetProtocolDescription text=\"v2.50#Протокол к ТРК-ВАРНО\""},
        OperationCase{"ReservedOperationA",
                      [](TVM30& d) { d.ReservedOperationA(1, 2, 3, 4, 5, 6, 7); },
                      "call 1 ReservedOperationA r1=1 r2=2 r3=3 r4=4 r5=5 r6=6 r7=7",
                      "done 1 ReservedOperationA"},
        OperationCase{"ReservedQuery", [](TVM30& d) { d.ReservedQuery(99); },
                      "call 1 ReservedQuery value=99", "done 1 ReservedQuery result=0"},
        OperationCase{"HandleHostEvent", [](TVM30& d) { d.HandleHostEvent(5, 9, 1, 2, 3); },
                      "call 1 HandleHostEvent event=5 r1=9 ch=1 disp=2 nozzle=3",
                      "done 1 HandleHostEvent link=1"},
        OperationCase{"AbstractOperation", [](TVM30& d) { d.AbstractOperation(); },
                      "call 1 AbstractOperation",
                      "fail 1 AbstractOperation class=EAbstractError msg=\"Abstract Error\""},
        OperationCase{"StartPumpOutOfRange", [](TVM30& d) { d.StartPump(1, 33, 1); },
                      "call 1 StartPump ch=1 disp=33 nozzle=1",
                      "fail 1 StartPump class=ERangeError msg=\"Range check error\" link=1"},
        OperationCase{"SetPriceInModeZero",
                      [](TVM30& d) {
                          GivenDispenser(d, 1, 2,
                                         [&](DispenserState& s) { s.DispenserMode = kModeZero; });
                          d.SetPrice(1, 2, 1, 0, 0, 45.67);
                      },
                      "call 1 SetPrice ch=1 disp=2 nozzle=1 r1=0 r2=0 price=45.67",
                      "done 1 SetPrice link=1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TracedDriverTest, APollShowsItsExchangesAndWhatItDecided) {
    link.QueueReply(
        DataReply({1, 'D', '2', '0', '0', '1', '2', '3', '4', '0', '0', '0', '0', '0'}));
    link.QueueReply(
        DataReply({2, 'D', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'}));
    StatusRecord record;
    driver.PollDispenserStatus(1, 1, 2, record);

    const auto lines = LinesOf(sink->events);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "options flags=0 OrigAdres=0 StartInLiter=1 WStart=0 WDoza=0");
    EXPECT_EQ(
        lines[1],
        "call 1 PollDispenserStatus ch=1 disp=1 count=2 record=00000000000000000000000000000000");
    EXPECT_TRUE(StartsWith(lines[2],
                           "xchg ch=1 op=1 disp=1 frame=480144D245 result=0 state=1 "
                           "verdict=accepted code=0 checks=1 us="))
        << lines[2];
    EXPECT_NE(lines[2].find(" want=18 got=18 reply=414801443230303132333430303030301E45"),
              std::string::npos)
        << lines[2];
    EXPECT_EQ(lines[4],
              "done 1 PollDispenserStatus summary=217 nozzle=1 words=217,200 volumes=12.34,0 "
              "record=D900D900C80000000000000000000100 link=1");
}

TEST_F(TracedDriverTest, NestedCallsNameTheCallTheyRunIn) {
    // The poll of GetStatusCode sends nothing; a reply asking for its fill to end makes the
    // poll stop the pump.
    driver.GetStatusCode(1, 3);
    link.QueueReply(
        DataReply({3, 'D', '6', '0', '0', '0', '0', '5', '0', '0', '0', '0', '0', '0'}));
    link.QueueAck();
    StatusRecord record;
    driver.PollDispenserStatus(1, 3, 1, record);

    const auto lines = Only(sink->events, {"call", "xchg"});
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "call 1 GetStatusCode ch=1 disp=3");
    EXPECT_EQ(lines[1],
              "call 2 PollDispenserStatus in=1 ch=1 disp=3 count=0 "
              "record=00000000000000000000000000000000");
    EXPECT_TRUE(StartsWith(lines[2], "call 3 PollDispenserStatus ch=1 disp=3 count=1 record="));
    EXPECT_TRUE(StartsWith(lines[3], "xchg ch=1 op=3 disp=3 frame=480344D445 "));
    EXPECT_EQ(lines[4], "call 4 StopPump in=3 ch=1 disp=3 flag=1");
    EXPECT_TRUE(StartsWith(lines[5], "xchg ch=1 op=4 disp=3 frame=4803730345 "));
}

TEST_F(TracedDriverTest, AFailedExchangeShowsTheLinksCodeAndTheException) {
    link.QueueSilence();
    link.SetError(1, RecordingLink::kSilenceCode);
    EXPECT_THROW(driver.StartPump(1, 1, 1), ESerialIO);
    link.QueueRaise();
    EXPECT_THROW(driver.StopPump(1, 1, 1), ESerialIO);

    const auto lines = Only(sink->events, {"xchg", "fail"});
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(StartsWith(lines[0],
                           "xchg ch=1 op=1 disp=1 frame=4801750345 result=1000 state=3 "
                           "verdict=none checks=0 us="))
        << lines[0];
    EXPECT_EQ(lines[1], "fail 1 StartPump class=ESerialIO msg=\"Can't START POMP\" link=3");
    EXPECT_NE(lines[2].find(" raised=1"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "fail 2 StopPump class=ESerialIO msg=\"Can't STOP POMP\" link=3");
}

TEST_F(TracedDriverTest, ARejectedReplyShowsTheCheckersCodeAndWhatItWasGiven) {
    Bytes bad = DataReply({1, 'X', '0', '3', '1', '0', '0'});
    bad[bad.size() - 2] ^= 1;
    link.QueueReply(bad);
    test::ScriptedReply outOfReach;
    outOfReach.bytes = {'A', 'H'};
    outOfReach.receivedCount = 20;  // beyond what the link says is valid
    link.Queue(outOfReach);
    EXPECT_THROW(driver.ReadParameter(1, 1, 148), ESerialIO);
    // The check's range error leaves Transact, and the exchange takes it as the link's failure.
    EXPECT_THROW(driver.ReadParameter(1, 1, 148), ESerialIO);

    const auto lines = Only(sink->events, {"xchg"});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("result=222 state=3 verdict=rejected code=222 checks=1"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("verdict=range-error checks=1"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(" got=20 "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(" raised=1"), std::string::npos) << lines[1];
}

// A line that tries again after a rejected reply, and judges replies in a buffer of its own.
class RetryingLink final : public HostLink {
  public:
    std::vector<Bytes> attempts;  // for the next exchange, in order
    std::int32_t GetChannelError(std::uint32_t) override { return error; }
    void SetChannelError(std::uint32_t, std::int32_t code) override { error = code; }
    void SetChannelState(std::uint32_t, std::int32_t s) override { state = s; }
    std::int32_t GetChannelState(std::uint32_t) override { return state; }
    std::int32_t Transact(std::uint32_t channel, const std::uint8_t*, std::uint8_t,
                          std::uint8_t* reply, std::uint8_t replyLength, std::uint32_t) override {
        for (const Bytes& attempt : attempts) {
            std::array<std::uint8_t, 64> own{};
            std::copy(attempt.begin(), attempt.end(), own.begin());
            const auto received = static_cast<std::uint8_t>(attempt.size());
            if (validator(channel, own.data(), replyLength - 1, received, replyLength)) {
                std::copy_n(own.begin(), replyLength, reply);
                return 0;
            }
        }
        return error;
    }
    std::int32_t ConfigureLine(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
    void SetReplyValidator(std::uint32_t, ReplyHandler handler) override { validator = handler; }
    void SetLineInitializer(std::uint32_t, LineInitializer) override {}

    ReplyHandler validator;
    std::int32_t error = 0;
    std::int32_t state = 1;
};

TEST(TracedRetryTest, EachReplyTheLinkTriedAgainAfterShowsBeforeTheExchange) {
    RetryingLink link;
    auto sink = std::make_shared<MemoryTraceSink>();
    TracedDriver driver(0, &link, "", sink);
    link.attempts = {{'B'}, {'A'}};
    driver.StartPump(1, 1, 1);
    // A rejected reply never reaches the driver's buffer: the link judged it in its own.
    link.attempts = {{'Z'}};
    EXPECT_THROW(driver.StopPump(1, 1, 1), ESerialIO);

    const auto lines = Only(sink->events, {"check", "xchg"});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "check ch=1 n=1 op=1 disp=1 verdict=rejected code=223 want=1 got=1 high=0 bytes=42");
    EXPECT_NE(lines[1].find("verdict=accepted code=0 checks=2"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" got=1 seen=5A reply=01"), std::string::npos) << lines[2];
}

TEST_F(TracedDriverTest, OptionsAreRecordedBeforeTheFirstOperationAndWhenTheyChange) {
    driver.GetLinkState(1);
    driver.GetLinkState(1);
    driver.WDoza = true;
    driver.GetStatusCode(1, 1);  // the nested poll does not record them again
    const auto lines = Only(sink->events, {"options", "call"});
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "options flags=0 OrigAdres=0 StartInLiter=1 WStart=0 WDoza=0",
                         "call 1 GetLinkState ch=1", "call 2 GetLinkState ch=1",
                         "options flags=0 OrigAdres=0 StartInLiter=1 WStart=0 WDoza=1",
                         "call 3 GetStatusCode ch=1 disp=1",
                         "call 4 PollDispenserStatus in=3 ch=1 disp=1 count=0 "
                         "record=00000000000000000000000000000000"}));
}

// A sink that begins a new file whenever told to.
class FileLikeSink final : public TraceSink {
  public:
    TraceTime Now() override { return memory.Now(); }
    void Record(const TraceEvent& event) noexcept override { memory.Record(event); }
    bool NewFileDue() noexcept override { return due; }
    void BeginFile() noexcept override {
        due = false;
        memory.Record(TraceHeader(0, "test"));
    }
    MemoryTraceSink memory;
    bool due = true;
};

TEST(TracedStateTest, ANewFileBeginsWithWhatAFreshDriverWouldNotKnow) {
    RecordingLink link;
    auto sink = std::make_shared<FileLikeSink>();
    TracedDriver driver(0x40, &link, "", sink);
    GivenDispenser(driver, 2, 5, [&](DispenserState& s) {
        s.DispenserMode = 0x42;
        s.VolumeDecimals = 3;
        s.NozzlePrice[2] = 51.2;
    });
    driver.RestoreLinkState(3, 3);
    sink->memory.events.clear();
    sink->due = true;
    driver.GetLinkState(1);

    const auto lines = LinesOf(sink->memory.events);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "trace format=1 source=test");
    EXPECT_EQ(lines[1], "options flags=64 OrigAdres=0 StartInLiter=1 WStart=0 WDoza=1");
    EXPECT_EQ(lines[2],
              "state ch=2 disp=5 mode=66 vdec=3 mdec=2 countdown=0 stable=1 nozzle=1 vlimit=0 "
              "mlimit=0 status=192,0,0,0,0,0 price=0,51.2,0,0,0,0 volume=0,0,0,0,0,0");
    EXPECT_EQ(lines[3], "state ch=3 link=3");
    EXPECT_EQ(lines[4], "call 1 GetLinkState ch=1");
}

// The same script through the plain driver and the traced one: the same frames, the same
// outcomes, the same tables.
TEST(TracedDecisionsTest, TheTraceChangesNothingTheDriverDecides) {
    const auto script = [](RecordingLink& link) {
        link.QueueReply(DataReply({1, 'X', '0', '3', '1', '0', '0'}));  // mode '1'
        link.QueueReply(
            DataReply({1, 'D', '2', '0', '0', '1', '2', '3', '4', '0', '0', '0', '0', '0'}));
        link.QueueAck();                                                // price
        link.QueueReply(DataReply({1, 'C', '0', '4', '5', '6', '7'}));  // read back
        link.QueueAck();                                                // dose
        link.QueueSilence();                                            // start fails
        link.QueueReply(
            DataReply({1, 'U', '0', '0', '0', '0', '5', '6', '3', '6', '0', '0', '0', '0'}));
    };
    const auto run = [](TVM30& driver, std::vector<std::string>& outcomes) {
        StatusRecordEx record;
        driver.PollDispenserStatusEx(1, 1, 1, record);
        outcomes.push_back(test::Bytes(record.bytes.begin(), record.bytes.end()) ==
                                   test::Bytes(20, 0)
                               ? "empty"
                               : std::to_string(record.bytes[0]));
        driver.SetPrice(1, 1, 1, 0, 0, 45.67);
        driver.SetVolumeLimit(1, 1, 1, 0, 3.5);
        try {
            driver.StartFill(1, 1, 1, 0);
        } catch (const Exception& error) {
            outcomes.push_back(error.Message());
        }
        double amount = 0;
        outcomes.push_back(RealText(driver.GetDispensedData(1, 1, amount)) + " " +
                           RealText(amount));
    };
    RecordingLink plainLink;
    RecordingLink tracedLink;
    script(plainLink);
    script(tracedLink);
    TVM30 plain(0, &plainLink, "");
    TracedDriver traced(0, &tracedLink, "", std::make_shared<MemoryTraceSink>());
    std::vector<std::string> plainOutcomes;
    std::vector<std::string> tracedOutcomes;
    run(plain, plainOutcomes);
    run(traced, tracedOutcomes);

    EXPECT_EQ(tracedOutcomes, plainOutcomes);
    ASSERT_EQ(tracedLink.sent.size(), plainLink.sent.size());
    for (std::size_t i = 0; i < plainLink.sent.size(); ++i) {
        EXPECT_EQ(tracedLink.sent[i].frame, plainLink.sent[i].frame) << "frame " << i;
    }
    EXPECT_EQ(tracedLink.reports, plainLink.reports);
    EXPECT_EQ(traced.Tables().NozzleVolume[1][1][1], plain.Tables().NozzleVolume[1][1][1]);
    EXPECT_EQ(traced.Tables().LinkState[1], plain.Tables().LinkState[1]);
}

}  // namespace
}  // namespace fuel
