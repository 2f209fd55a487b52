// Every host operation of the list, written by the traced driver and read back by the
// replay: the "call" line is the one trace files already hold, key for key, and run again
// from that line the driver is called with the same arguments.
#include "trace/OperationCall.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "driver/HostOperations.h"
#include "driver/TracedDriver.h"
#include "testing/RecordingLink.h"

namespace fuel::trace {
namespace {

using test::Bytes;
using test::RecordingLink;

constexpr char kStamp[] = "2026-12-08T10:15:30.000000Z ";

// The line of an operation's kind ("call", "done" or "fail") with the given number, without
// its time stamp; empty when there is none.
std::string LineOf(const std::vector<TraceEvent>& events, std::initializer_list<const char*> kinds,
                   const std::string& number) {
    for (const TraceEvent& event : events) {
        for (const char* kind : kinds) {
            if (event.kind == kind && !event.words.empty() && event.words[0] == number) {
                return FormatTraceLine(event).substr(sizeof kStamp - 1);
            }
        }
    }
    return "";
}

// A traced driver whose line acknowledges every frame.
struct Traced {
    Traced() {
        link.responder = [](const Bytes&) { return Bytes{'A'}; };
    }
    RecordingLink link;
    std::shared_ptr<MemoryTraceSink> sink = std::make_shared<MemoryTraceSink>();
    TracedDriver driver{0, &link, "", sink};

    std::string Call() const { return LineOf(sink->events, {"call"}, "1"); }
    std::string End() const { return LineOf(sink->events, {"done", "fail"}, "1"); }
};

struct CallCase {
    const char* name;
    std::function<void(TVM30&)> run;
    const char* call;
    const char* end;  // "" where the outcome is another test's
};

void PrintTo(const CallCase& c, std::ostream* os) {
    *os << c.name;
}

StatusRecord MarkedRecord() {
    StatusRecord record;
    record.bytes[15] = 0xAB;
    return record;
}

StatusRecordEx MarkedRecordEx() {
    StatusRecordEx record;
    record.bytes[19] = 0xCD;
    return record;
}

// One row per operation of the list, each argument a value of its own.
const std::vector<CallCase>& Cases() {
    static const std::vector<CallCase> cases = {
        {"AbstractOperation", [](TVM30& d) { d.AbstractOperation(); }, "call 1 AbstractOperation",
         "fail 1 AbstractOperation class=EAbstractError msg=\"Abstract Error\""},
        {"GetProtocolDescription", [](TVM30& d) { d.GetProtocolDescription(); },
         "call 1 GetProtocolDescription",
         "done 1 GetProtocolDescription text=\"v2.50#Протокол к ТРК-ВАРНО\""},
        {"SetLinkState", [](TVM30& d) { d.SetLinkState(4, 3); }, "call 1 SetLinkState ch=4 value=3",
         "done 1 SetLinkState link=3"},
        {"GetLinkState", [](TVM30& d) { d.GetLinkState(2); }, "call 1 GetLinkState ch=2",
         "done 1 GetLinkState result=1 link=1"},
        {"StopPump", [](TVM30& d) { d.StopPump(2, 3, 1); }, "call 1 StopPump ch=2 disp=3 flag=1",
         "done 1 StopPump result=0 link=1"},
        {"ReservedQuery", [](TVM30& d) { d.ReservedQuery(99); }, "call 1 ReservedQuery value=99",
         "done 1 ReservedQuery result=0"},
        {"GetFinalDispensedData",
         [](TVM30& d) {
             double volume = 7, amount = 8;
             d.GetFinalDispensedData(2, 3, volume, amount);
         },
         "call 1 GetFinalDispensedData ch=2 disp=3", ""},
        {"GetTotalizer",
         [](TVM30& d) {
             double volume = 7, money = 8;
             d.GetTotalizer(2, 3, 4, volume, money, 5, 6);
         },
         "call 1 GetTotalizer ch=2 disp=3 nozzle=4 r1=5 r2=6", ""},
        {"ReservedOperationA", [](TVM30& d) { d.ReservedOperationA(1, 2, 3, 4, 5, 6, 7); },
         "call 1 ReservedOperationA r1=1 r2=2 r3=3 r4=4 r5=5 r6=6 r7=7",
         "done 1 ReservedOperationA"},
        {"GetDispensedData",
         [](TVM30& d) {
             double amount = 8;
             d.GetDispensedData(2, 3, amount);
         },
         "call 1 GetDispensedData ch=2 disp=3", ""},
        {"GetStatusCode", [](TVM30& d) { d.GetStatusCode(2, 3); },
         "call 1 GetStatusCode ch=2 disp=3", "done 1 GetStatusCode result=0 link=1"},
        {"SetPrice", [](TVM30& d) { d.SetPrice(2, 3, 4, 5, 6, 45.67); },
         "call 1 SetPrice ch=2 disp=3 nozzle=4 r1=5 r2=6 price=45.67", ""},
        {"ReservedOperationB", [](TVM30& d) { d.ReservedOperationB(1, 2, 3); },
         "call 1 ReservedOperationB r1=1 r2=2 r3=3", "done 1 ReservedOperationB"},
        {"SetVolumeLimit", [](TVM30& d) { d.SetVolumeLimit(2, 3, 4, 5, 12.5); },
         "call 1 SetVolumeLimit ch=2 disp=3 nozzle=4 r1=5 limit=12.5",
         "done 1 SetVolumeLimit link=1"},
        {"SetMoneyLimit", [](TVM30& d) { d.SetMoneyLimit(2, 3, 4, 5, 250.75); },
         "call 1 SetMoneyLimit ch=2 disp=3 nozzle=4 r1=5 limit=250.75", ""},
        {"StartPump", [](TVM30& d) { d.StartPump(2, 3, 4); },
         "call 1 StartPump ch=2 disp=3 nozzle=4", "done 1 StartPump result=0 link=1"},
        {"InitLink", [](TVM30& d) { d.InitLink(5); }, "call 1 InitLink ch=5",
         "done 1 InitLink result=0 link=1"},
        {"ReadParameter", [](TVM30& d) { d.ReadParameter(2, 7, 300); },
         "call 1 ReadParameter ch=2 addr=7 cell=300", ""},
        {"WriteParameter", [](TVM30& d) { d.WriteParameter(2, 7, 148, 51); },
         "call 1 WriteParameter ch=2 addr=7 cell=148 value=51",
         "done 1 WriteParameter result=0 link=1"},
        {"StartFill", [](TVM30& d) { d.StartFill(2, 3, 4, 1); },
         "call 1 StartFill ch=2 disp=3 nozzle=4 flag=1", ""},
        {"GetDriverInfo",
         [](TVM30& d) {
             std::uint32_t value = 0;
             d.GetDriverInfo(7, value);
         },
         "call 1 GetDriverInfo key=7", "done 1 GetDriverInfo result=1 value=400"},
        {"PollDispenserStatus",
         [](TVM30& d) {
             StatusRecord record = MarkedRecord();
             d.PollDispenserStatus(2, 3, 0, record);
         },
         "call 1 PollDispenserStatus ch=2 disp=3 count=0 record=000000000000000000000000000000AB",
         "done 1 PollDispenserStatus summary=0 nozzle=0 record=00000000000000000000000000000000 "
         "link=1"},
        {"StopFillOnRequest", [](TVM30& d) { d.StopFillOnRequest(2, 3, 5, 1); },
         "call 1 StopFillOnRequest ch=2 disp=3 r1=5 flag=1", ""},
        {"StopFill", [](TVM30& d) { d.StopFill(2, 3, 5, 0); },
         "call 1 StopFill ch=2 disp=3 r1=5 flag=0", ""},
        {"ReservedOperationC", [](TVM30& d) { d.ReservedOperationC(1, 2); },
         "call 1 ReservedOperationC r1=1 r2=2", "done 1 ReservedOperationC"},
        {"ReservedOperationD", [](TVM30& d) { d.ReservedOperationD(3, 4); },
         "call 1 ReservedOperationD r1=3 r2=4", "done 1 ReservedOperationD"},
        {"PollDispenserStatusEx",
         [](TVM30& d) {
             StatusRecordEx record = MarkedRecordEx();
             d.PollDispenserStatusEx(2, 3, 0, record);
         },
         "call 1 PollDispenserStatusEx ch=2 disp=3 count=0 "
         "record=00000000000000000000000000000000000000CD",
         ""},
        {"HandleHostEvent", [](TVM30& d) { d.HandleHostEvent(5, 9, 2, 3, 4); },
         "call 1 HandleHostEvent event=5 r1=9 ch=2 disp=3 nozzle=4",
         "done 1 HandleHostEvent link=1"},
        {"ApplyLinkSettings", [](TVM30& d) { d.ApplyLinkSettings(5); },
         "call 1 ApplyLinkSettings ch=5", "done 1 ApplyLinkSettings result=0 link=1"},
    };
    return cases;
}

class OperationCallTest : public ::testing::TestWithParam<CallCase> {};

TEST_P(OperationCallTest, TheCallLineIsWrittenAsEverAndReadsBackToTheSameCall) {
    const CallCase& c = GetParam();
    Traced written;
    try {
        c.run(written.driver);
    } catch (const Exception&) {
    }
    EXPECT_EQ(written.Call(), c.call);
    if (*c.end != '\0') {
        EXPECT_EQ(written.End(), c.end);
    }

    Traced replayed;
    const TraceEvent call = ParseTraceLine(std::string(kStamp) + c.call);
    try {
        EXPECT_TRUE(InvokeCall(replayed.driver, call.WordAt(1, "name"), call));
    } catch (const Exception&) {
    }
    EXPECT_EQ(replayed.Call(), c.call);
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, OperationCallTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A new operation in the list without a row above fails here.
TEST(OperationListTest, EveryOperationOfTheListHasACase) {
    std::set<std::string> listed;
    ForEachTracedOperation([&](auto operation) { listed.emplace(decltype(operation)::kName); });
    std::set<std::string> tested;
    for (const CallCase& c : Cases()) {
        tested.emplace(c.name);
    }
    EXPECT_EQ(tested, listed);
}

// The numbers an operation hands back through its references are on its end line however
// it ends, the result only when it returned.
TEST(OperationListTest, NumbersHandedBackAreOnTheEndLine) {
    Traced answered;
    answered.link.responder = nullptr;
    answered.link.QueueReply(test::DataReply(
        {'0', '0', '0', '0', '0', '1', '2', '3', '4', '5', '6', '0', '0', '0', '0', '0'}));
    double volume = -1, money = -1;
    answered.driver.GetTotalizer(1, 1, 1, volume, money, 0, 0);
    EXPECT_EQ(answered.End(), "done 1 GetTotalizer volume=1234.56 money=0 link=1");

    Traced silent;
    silent.link.responder = nullptr;
    silent.link.QueueSilence();
    double amount = -1;
    silent.driver.GetDispensedData(1, 1, amount);
    EXPECT_EQ(silent.End(), "done 1 GetDispensedData volume=0 amount=0 link=3");

    Traced failed;
    failed.link.responder = nullptr;
    failed.link.QueueSilence();
    double volumeTotal = -1, moneyTotal = -2;
    EXPECT_THROW(failed.driver.GetTotalizer(1, 1, 1, volumeTotal, moneyTotal, 0, 0), ESerialIO);
    EXPECT_EQ(failed.End(),
              "fail 1 GetTotalizer class=ESerialIO msg=\"Невозможно выполнить опрос данных "
              "отлива\" volume=0 money=0 link=3");
}

struct BadCallCase {
    const char* name;
    const char* call;
    const char* message;  // what the error names
};

class BadCallTest : public ::testing::TestWithParam<BadCallCase> {};

TEST_P(BadCallTest, IsRefusedBeforeTheDriverIsCalled) {
    Traced replayed;
    const TraceEvent call = ParseTraceLine(std::string(kStamp) + GetParam().call);
    try {
        InvokeCall(replayed.driver, call.WordAt(1, "name"), call);
        ADD_FAILURE() << "no error";
    } catch (const TraceFormatError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(replayed.Call(), "");
    EXPECT_TRUE(replayed.link.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadCallTest,
    ::testing::Values(BadCallCase{"MissingKey", "call 1 StopPump ch=1 flag=1", "'disp'"},
                      BadCallCase{"ByteOutOfRange", "call 1 GetLinkState ch=256", "'ch'"},
                      BadCallCase{"NotANumber",
                                  "call 1 SetPrice ch=1 disp=1 nozzle=1 r1=0 r2=0 price=x",
                                  "'price'"},
                      BadCallCase{"RecordOfTheWrongSize",
                                  "call 1 PollDispenserStatus ch=1 disp=1 count=1 record=0000",
                                  "16 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OperationListTest, AnUnknownNameCallsNothing) {
    Traced replayed;
    const TraceEvent call = ParseTraceLine(std::string(kStamp) + "call 1 AddMenuItems");
    EXPECT_FALSE(InvokeCall(replayed.driver, "AddMenuItems", call));
    EXPECT_FALSE(InvokeCall(replayed.driver, "StartPumpNow", call));
    EXPECT_TRUE(replayed.sink->events.empty());
}

}  // namespace
}  // namespace fuel::trace
