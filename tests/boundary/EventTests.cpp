// Events end to end: the simulated client calls the gateway's sink on threads of its own, and the host's
// callbacks receive exactly the fields of each event while the debug lines show them.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <condition_variable>
#include <thread>

#include "DoorHeapTracker.h"
#include "EventFixture.h"
#include "HostFaults.h"

namespace {

const wchar_t kServerTimeText[] = L"13:44:00 Thursday, February 29, 2024";
const wchar_t kTimestampText[] = L"13:45:30 Thursday, February 29, 2024";
constexpr int64_t kTimestampMs = 1709214330000;  // 2024-02-29 13:45:30, counted in local time
constexpr int64_t kServerTimeMs = 1709214240000;

DATE fixedTimestamp() {
    return oleDate(2024, 2, 29, 13, 45, 30);
}

sim::EventElement element(sim::EventElement::Kind kind, const sim::EventObject& event = {}) {
    return sim::EventElement{kind, event};
}

}  // namespace

using ObjectStateEvents = EventTest;

TEST_F(ObjectStateEvents, ReachTheHostWithEveryFieldOnAClientThread) {
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(fixedTimestamp())));

    EXPECT_TRUE(linesMatch(
        eventLines(),
        {L"ObjectState: EventID: 4711| ObjectID: 1203| ObjectType: ePoint(7)| Type: eObjState(11)| SubType: "
         L"eAccessPoint(5003)| State: eDoorForced(3006)| StateType: eStateAlarm(1)| Location: Halle 1 "
         L"T\u00FCr S\u00FCd| Description: Door forced| Servertime: " +
             std::wstring(kServerTimeText) + L"| Timestamp: " + kTimestampText + L"| CurrentTime: *",
         L"Fire an registered event."}));
    for (const LogLine& line : log.lines()) {
        EXPECT_EQ(Debug, line.level);
    }
    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(1u, g_received.states.size());
    const StateCall& call = g_received.states[0];
    EXPECT_EQ(4711, call.eventId);
    EXPECT_EQ(1203, call.objectId);
    EXPECT_EQ(7, call.objectType);
    EXPECT_EQ(11, call.type);
    EXPECT_EQ(5003, call.subType);
    EXPECT_EQ(3006, call.state);
    EXPECT_EQ(1, call.stateType);
    EXPECT_EQ(kTimestampMs, call.timestampMs);
    EXPECT_EQ(kServerTimeMs, call.serverTimeMs);
    EXPECT_EQ(L"Halle 1 T\u00FCr S\u00FCd", call.location);
    EXPECT_EQ(L"Door forced", call.description);
    EXPECT_NE(::GetCurrentThreadId(), g_received.lastThread);
    EXPECT_TRUE(g_received.accesses.empty());
    EXPECT_TRUE(g_received.generics.empty());
}

TEST_F(ObjectStateEvents, NullTextsArriveEmptyAndUnknownValuesAreNamedAsSuch) {
    sim::EventObject event = objectStateEvent(oleDate(1970, 1, 1, 0, 0, 1));
    event.location.reset();
    event.description.reset();
    event.state = 12345;
    event.stateType = 2;
    event.serverTime = oleDate(1970, 1, 1, 0, 0, 1);
    ASSERT_TRUE(sim::deliverEvent(event));

    auto lines = eventLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::wstring::npos,
              lines[0].find(L"| State: Unknown value of EObjState(12345)| StateType: Unknown "
                            L"value of EStateType(2)| Location: | Description: | Servertime: "
                            L"00:00:01 Thursday, January 01, 1970|"));
    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(1u, g_received.states.size());
    EXPECT_EQ(12345, g_received.states[0].state);
    EXPECT_EQ(1000, g_received.states[0].serverTimeMs);
    EXPECT_EQ(L"", g_received.states[0].location);
    EXPECT_EQ(L"", g_received.states[0].description);
}

TEST_F(ObjectStateEvents, WithoutACallbackOnlyTheDebugLineIsWritten) {
    library.RegisterAlarmStateCallback(nullptr);
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(fixedTimestamp())));
    auto lines = eventLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find(L"ObjectState: EventID: 4711|"));
    EXPECT_TRUE(g_received.states.empty());
}

using AccessEvents = EventTest;

TEST_F(AccessEvents, ReachTheHostWithTheCardholder) {
    ASSERT_TRUE(sim::deliverEvent(accessEvent(fixedTimestamp())));

    EXPECT_TRUE(linesMatch(
        eventLines(), {L"SiPass AccessEvent:  EventID: 4711| ObjectID: 1203| ObjectType: ePoint (7)| Type: "
                       L"eAccessEvent (10)| SubType: eAccessPoint (5003)| State: eAccessGranted (2030)| "
                       L"StateType: eStateNormal (0)| FirstName: J\u00FCrgen| LastName: M\u00FCller| "
                       L"CardNumber: 000123456",
                       L"Fire an registered event."}));
    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(1u, g_received.accesses.size());
    const AccessCall& call = g_received.accesses[0];
    EXPECT_EQ(4711, call.eventId);
    EXPECT_EQ(1203, call.objectId);
    EXPECT_EQ(7, call.objectType);
    EXPECT_EQ(10, call.type);
    EXPECT_EQ(5003, call.subType);
    EXPECT_EQ(2030, call.state);
    EXPECT_EQ(0, call.stateType);
    EXPECT_EQ(kTimestampMs, call.timestampMs);
    EXPECT_EQ(kServerTimeMs, call.serverTimeMs);
    EXPECT_EQ(L"J\u00FCrgen", call.firstName);
    EXPECT_EQ(L"M\u00FCller", call.lastName);
    EXPECT_EQ(L"000123456", call.cardNumber);
    EXPECT_EQ(L"Halle 1 T\u00FCr S\u00FCd", call.location);
    EXPECT_EQ(L"Access granted", call.description);
    EXPECT_TRUE(g_received.states.empty());
}

TEST_F(AccessEvents, ACardWithoutCardholderDataGivesEmptyTexts) {
    sim::EventObject event = accessEvent(fixedTimestamp());
    event.firstName.reset();
    event.lastName.reset();
    event.cardNumber.reset();
    ASSERT_TRUE(sim::deliverEvent(event));
    auto lines = eventLines();
    ASSERT_FALSE(lines.empty());
    const std::wstring ending = L"| FirstName: | LastName: | CardNumber: ";
    EXPECT_EQ(ending, lines[0].substr(lines[0].size() - ending.size()));
    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(1u, g_received.accesses.size());
    EXPECT_EQ(L"", g_received.accesses[0].firstName);
    EXPECT_EQ(L"", g_received.accesses[0].lastName);
    EXPECT_EQ(L"", g_received.accesses[0].cardNumber);
}

TEST_F(AccessEvents, ReachNeitherCallbackWithoutAnAccessCallback) {
    library.RegisterAlarmAccessCallback(nullptr);
    ASSERT_TRUE(sim::deliverEvent(accessEvent(fixedTimestamp())));
    EXPECT_EQ(1u, eventLines().size());
    EXPECT_TRUE(g_received.accesses.empty());
    EXPECT_TRUE(g_received.states.empty());
}

using GenericEvents = EventTest;

TEST_F(GenericEvents, ReachTheHostWithTheirSevenFields) {
    ASSERT_TRUE(sim::deliverEvent(genericEvent(fixedTimestamp())));

    EXPECT_TRUE(linesMatch(
        eventLines(),
        {L"SiPass GenericEvent:  EventId: 99| Type: eGenericEvent (8)| SubType: eDBModify "
         L"(6002)| Location: Server| Description: Cardholder changed| Timestamp: " +
             std::wstring(kTimestampText) + L"| Servertime: " + kServerTimeText + L"| CurrentTime: *",
         L"Fire an registered event."}));
    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(1u, g_received.generics.size());
    const GenericCall& call = g_received.generics[0];
    EXPECT_EQ(99, call.eventId);
    EXPECT_EQ(8, call.type);
    EXPECT_EQ(6002, call.subType);
    EXPECT_EQ(kTimestampMs, call.timestampMs);
    EXPECT_EQ(kServerTimeMs, call.serverTimeMs);
    EXPECT_EQ(L"Server", call.location);
    EXPECT_EQ(L"Cardholder changed", call.description);
}

TEST_F(GenericEvents, SubTypeZeroIsNamedAndNoSubscriptionIsNeeded) {
    sim::EventObject event = genericEvent(fixedTimestamp());
    event.subType = 0;
    ASSERT_TRUE(sim::deliverEvent(event));
    auto lines = eventLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"| SubType: eNoSubType (0)|"));
    EXPECT_EQ(1u, g_received.generics.size());
}

// ---- A getter failure at every position of every translator's read order ------------------------------

struct GetterFailure {
    const char* kind;        // "objectState", "accessEvent", "genericEvent"
    const char* getter;      // the getter that fails
    const char* nextGetter;  // the one that would come next (nullptr for the last)
};

std::ostream& operator<<(std::ostream& os, const GetterFailure& failure) {
    return os << failure.kind << "." << failure.getter;
}

namespace {

const char* const kObjectStateOrder[] = {"get_EventID",    "get_ObjectID", "get_ObjectType", "get_State",
                                         "get_SubType",    "get_Type",     "get_StateType",  "get_Timestamp",
                                         "get_ServerTime", "get_Location", "get_Description"};
const char* const kAccessOrder[] = {"get_EventID",     "get_ObjectID",  "get_ObjectType", "get_State",
                                    "get_Type",        "get_SubType",   "get_StateType",  "get_ServerTime",
                                    "get_Timestamp",   "get_FirstName", "get_LastName",   "get_CardNumber",
                                    "get_Description", "get_Location"};
const char* const kGenericOrder[] = {"get_EventID",   "get_Type",     "get_SubType",    "get_ServerTime",
                                     "get_Timestamp", "get_Location", "get_Description"};

template <size_t N>
void addFailures(std::vector<GetterFailure>& all, const char* kind, const char* const (&order)[N]) {
    for (size_t i = 0; i < N; ++i) {
        all.push_back({kind, order[i], i + 1 < N ? order[i + 1] : nullptr});
    }
}

std::vector<GetterFailure> everyGetterFailure() {
    std::vector<GetterFailure> all;
    addFailures(all, "objectState", kObjectStateOrder);
    addFailures(all, "accessEvent", kAccessOrder);
    addFailures(all, "genericEvent", kGenericOrder);
    return all;
}

// The name under which the simulator counts a getter's calls.
std::string countedName(const std::string& getter) {
    static const char* const shared[] = {"get_Type",        "get_SubType",  "get_Timestamp", "get_ServerTime",
                                         "get_Description", "get_Location", "get_EventID"};
    static const char* const object[] = {"get_ObjectID", "get_ObjectType", "get_State", "get_StateType"};
    for (const char* name : shared) {
        if (getter == name) {
            return "IEventFields::" + getter;
        }
    }
    for (const char* name : object) {
        if (getter == name) {
            return "IObjectState::" + getter;
        }
    }
    return "IAccessEvent::" + getter;
}

}  // namespace

class TranslatorGetterFailure : public EventTest, public ::testing::WithParamInterface<GetterFailure> {};

TEST_P(TranslatorGetterFailure, AbandonsTheEventWithOneErrorLine) {
    const GetterFailure& failure = GetParam();
    const std::string kind = failure.kind;
    sim::EventObject event = kind == "objectState"   ? objectStateEvent(fixedTimestamp())
                             : kind == "accessEvent" ? accessEvent(fixedTimestamp())
                                                     : genericEvent(fixedTimestamp());
    event.failingGetters[failure.getter] = E_INVALIDARG;

    ASSERT_TRUE(sim::deliverEvent(event));

    std::wstring expected(failure.getter, failure.getter + std::strlen(failure.getter));
    expected += L" for " + std::wstring(kind.begin(), kind.end()) + L" failed: hr=-2147024809";
    EXPECT_TRUE(linesMatch(eventLines(), {expected}));
    EXPECT_EQ(Error, log.lines().back().level);
    if (failure.nextGetter != nullptr) {
        EXPECT_EQ(0, sim::callCount(countedName(failure.nextGetter)))
            << "a getter after the failure was called";
    }
    std::lock_guard<std::mutex> lock(g_received.mutex);
    EXPECT_TRUE(g_received.states.empty() && g_received.accesses.empty() && g_received.generics.empty());
}

INSTANTIATE_TEST_SUITE_P(EveryPosition, TranslatorGetterFailure, ::testing::ValuesIn(everyGetterFailure()));

// ---- Dispatch and the rules of the OnEvent array -------------------------------------------------------

using EventArrays = EventTest;

TEST_F(EventArrays, DispatchEachElementAndSkipANullObject) {
    sim::EventBatch batch;
    batch.elements = {element(sim::EventElement::Kind::Object, objectStateEvent(fixedTimestamp())),
                      element(sim::EventElement::Kind::NullUnknown),
                      element(sim::EventElement::Kind::Object, accessEvent(fixedTimestamp()))};
    ASSERT_TRUE(sim::deliverEvents(batch));

    EXPECT_EQ(1u, g_received.states.size());
    EXPECT_EQ(1u, g_received.accesses.size());
    const auto texts = log.texts();
    EXPECT_TRUE(log.contains(L"punkVal is null. Skip."));
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(), L"OnEvent"));
}

class EventArrayStopsAtANonObject : public EventTest,
                                    public ::testing::WithParamInterface<sim::EventElement::Kind> {};

TEST_P(EventArrayStopsAtANonObject, AndLooksAtNoLaterElement) {
    sim::EventBatch batch;
    batch.elements = {element(sim::EventElement::Kind::Object, objectStateEvent(fixedTimestamp())),
                      element(GetParam(), genericEvent(fixedTimestamp())),
                      element(sim::EventElement::Kind::Object, genericEvent(fixedTimestamp()))};
    ASSERT_TRUE(sim::deliverEvents(batch));

    EXPECT_EQ(1u, g_received.states.size());
    EXPECT_TRUE(g_received.generics.empty()) << "an element after the non-object was dispatched";
    EXPECT_EQ(L"Array does not contain an IUnknown pointer. Skip.", log.texts().back());
    EXPECT_EQ(Info, log.lines().back().level);
}

INSTANTIATE_TEST_SUITE_P(ElementTypes, EventArrayStopsAtANonObject,
                         ::testing::Values(sim::EventElement::Kind::Bstr, sim::EventElement::Kind::Empty,
                                           sim::EventElement::Kind::Dispatch));

TEST_F(EventArrays, AnObjectGoesToTheFirstKindItAnswersInTheOrderAccessStateGeneric) {
    sim::EventObject accessAndGeneric = accessEvent(fixedTimestamp());
    accessAndGeneric.genericEvent = true;
    sim::EventObject accessAndState = accessEvent(fixedTimestamp());
    accessAndState.objectState = true;
    sim::EventObject stateAndGeneric = objectStateEvent(fixedTimestamp());
    stateAndGeneric.genericEvent = true;
    sim::EventBatch batch;
    batch.elements = {element(sim::EventElement::Kind::Object, accessAndGeneric),
                      element(sim::EventElement::Kind::Object, accessAndState),
                      element(sim::EventElement::Kind::Object, stateAndGeneric)};
    ASSERT_TRUE(sim::deliverEvents(batch));

    EXPECT_EQ(2u, g_received.accesses.size());
    EXPECT_EQ(1u, g_received.states.size());
    EXPECT_TRUE(g_received.generics.empty());
}

TEST_F(EventArrays, AnObjectOfNoKnownKindIsDroppedSilently) {
    sim::EventBatch batch;
    batch.elements = {
        element(sim::EventElement::Kind::UnknownWithoutEvents, objectStateEvent(fixedTimestamp()))};
    ASSERT_TRUE(sim::deliverEvents(batch));
    EXPECT_TRUE(linesMatch(log.texts(), {L"OnEvent"}));
    EXPECT_TRUE(g_received.states.empty());
}

struct MalformedArray {
    const char* name;
    bool twoDimensions, withoutVarType, nullArray;
    const wchar_t* line;
};

std::ostream& operator<<(std::ostream& os, const MalformedArray& array) {
    return os << array.name;
}

class MalformedEventArray : public EventTest, public ::testing::WithParamInterface<MalformedArray> {};

TEST_P(MalformedEventArray, IsSkippedWithItsLine) {
    sim::EventBatch batch;
    batch.elements = {element(sim::EventElement::Kind::Object, objectStateEvent(fixedTimestamp()))};
    batch.twoDimensions = GetParam().twoDimensions;
    batch.withoutVarType = GetParam().withoutVarType;
    batch.nullArray = GetParam().nullArray;
    ASSERT_TRUE(sim::deliverEvents(batch));
    EXPECT_TRUE(linesMatch(log.texts(), {L"OnEvent", GetParam().line}));
    EXPECT_TRUE(g_received.states.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MalformedEventArray,
    ::testing::Values(MalformedArray{"TwoDimensions", true, false, false,
                                     L"Save Array received with a Dimension !=1. Skip."},
                      MalformedArray{"WithoutVarType", false, true, false,
                                     L"Event received with a non VARRIANT Safearray. Skip."},
                      MalformedArray{"Null", false, false, true, L"Event received without an array. Skip."}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The age filter, end to end, with margins around the limit ----------------------------------------

using AgeFilter = EventTest;

TEST_F(AgeFilter, KeepsEventsWithinTheDropDurationAndDropsOlderOnes) {
    library.setDropDuration(180);
    const DATE now = sim::localNow();
    const DATE second = 1.0 / 86400;
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(now - 170 * second)));
    ASSERT_TRUE(sim::deliverEvent(accessEvent(now - 170 * second)));
    ASSERT_TRUE(sim::deliverEvent(genericEvent(now + 10 * second)));  // a server clock ahead of ours
    EXPECT_EQ(1u, g_received.states.size());
    EXPECT_EQ(1u, g_received.accesses.size());
    EXPECT_EQ(1u, g_received.generics.size());

    log.clear();
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(now - 200 * second)));
    ASSERT_TRUE(sim::deliverEvent(accessEvent(now - 200 * second)));
    ASSERT_TRUE(sim::deliverEvent(genericEvent(now - 200 * second)));
    EXPECT_TRUE(linesMatch(eventLines(), {L"SiPass Drop old AccessEvent. Timestamp was: *",
                                          L"SiPass Drop old AccessEvent. Timestamp was: *",
                                          L"Drop old GenericEvent. Timestamp was: *"}));
    EXPECT_EQ(1u, g_received.states.size());
    EXPECT_EQ(1u, g_received.accesses.size());
    EXPECT_EQ(1u, g_received.generics.size());
}

TEST_F(AgeFilter, AServerTimeFarInThePastDoesNotDropAnEvent) {
    library.setDropDuration(180);
    sim::EventObject event = accessEvent(sim::localNow());
    event.serverTime = oleDate(1990, 1, 1, 0, 0, 0);
    ASSERT_TRUE(sim::deliverEvent(event));
    EXPECT_EQ(1u, g_received.accesses.size());
}

TEST_F(AgeFilter, ADropDurationSetBeforeInitHolds) {
    library.Close();
    library.setDropDuration(30);
    library.RegisterAlarmStateCallback(&recordState);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    const DATE second = 1.0 / 86400;
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(sim::localNow() - 60 * second)));
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(sim::localNow() - 5 * second)));
    EXPECT_EQ(1u, g_received.states.size());
}

// ---- Host callbacks that fail ------------------------------------------------------------------------

void SIPASSVORMEKGATEWAY_CALL crashingState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                            int64_t, int64_t, const wchar_t*, const wchar_t*) {
    static int* volatile nowhere = nullptr;
    *nowhere = 1;
}

using FailingHostCallbacks = EventTest;

TEST_F(FailingHostCallbacks, AnAccessViolationIsLoggedAndTheNextEventIsDelivered) {
    library.RegisterAlarmStateCallback(&crashingState);
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(fixedTimestamp())));
    EXPECT_EQ(L"Exception m_AlarmStateCallback: structured exception 0xC0000005", log.texts().back());
    EXPECT_EQ(Error, log.lines().back().level);

    library.RegisterAlarmStateCallback(&recordState);
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(fixedTimestamp())));
    EXPECT_EQ(1u, g_received.states.size());
}

// What an MSVC-built host's `throw` looks like to the gateway.
void SIPASSVORMEKGATEWAY_CALL msvcThrowingAccess(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                                 int32_t, int64_t, int64_t, const wchar_t*, const wchar_t*,
                                                 const wchar_t*, const wchar_t*, const wchar_t*) {
    ULONG_PTR parameters[3] = {0x19930520, 0, 0};
    ::RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 3, parameters);
}

TEST_F(FailingHostCallbacks, TheCppExceptionOfAnMsvcHostIsContained) {
    library.RegisterAlarmAccessCallback(&msvcThrowingAccess);
    ASSERT_TRUE(sim::deliverEvent(accessEvent(fixedTimestamp())));
    EXPECT_EQ(L"Exception m_AlarmAccessCallback: structured exception 0xE06D7363", log.texts().back());
    // The mutex was released: registering again does not block.
    library.RegisterAlarmAccessCallback(&recordAccess);
    ASSERT_TRUE(sim::deliverEvent(accessEvent(fixedTimestamp())));
    EXPECT_EQ(1u, g_received.accesses.size());
}

void SIPASSVORMEKGATEWAY_CALL violatingAccess(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                              int64_t, int64_t, const wchar_t*, const wchar_t*,
                                              const wchar_t*, const wchar_t*, const wchar_t*) {
    raiseHostFault(HostFault::AccessViolation);
}

void SIPASSVORMEKGATEWAY_CALL msvcThrowingState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                                int64_t, int64_t, const wchar_t*, const wchar_t*) {
    raiseHostFault(HostFault::MsvcThrow);
}

void SIPASSVORMEKGATEWAY_CALL violatingGeneric(int32_t, int32_t, int32_t, int64_t, int64_t, const wchar_t*,
                                               const wchar_t*) {
    raiseHostFault(HostFault::AccessViolation);
}

// Regression: the texts handed to a callback were made inside the guarded call, so a structured exception
// from the callback abandoned them without their destructors, and every raise leaked their heap blocks.
TEST_F(FailingHostCallbacks, ARaisingCallbackLeavesNoHeapBlockOfItsTextsBehind) {
    library.RegisterAlarmAccessCallback(&violatingAccess);
    library.RegisterAlarmStateCallback(&msvcThrowingState);
    library.RegisterGenericEventCallback(&violatingGeneric);
    // Greek letters turn into '?' on the way through the narrow form, and a text this long lives in a heap
    // block of its own, one for each text of each event.
    const std::wstring greek(40, L'\u03A9');
    sim::EventObject access = accessEvent(fixedTimestamp());
    access.firstName = greek;
    access.lastName = greek;
    access.cardNumber = greek;
    sim::EventObject state = objectStateEvent(fixedTimestamp());
    sim::EventObject generic = genericEvent(fixedTimestamp());
    for (sim::EventObject* event : {&access, &state, &generic}) {
        event->location = greek;
        event->description = greek;
    }
    // Once before counting, for what the gateway builds once and keeps (the narrow form's table).
    for (const sim::EventObject* event : {&access, &state, &generic}) {
        ASSERT_TRUE(sim::deliverEvent(*event));
    }

    DllHeapTracker heap(library.module());
    ASSERT_TRUE(heap.active());
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        for (const sim::EventObject* event : {&access, &state, &generic}) {
            ASSERT_TRUE(sim::deliverEvent(*event));
        }
    }
    const size_t live = heap.live().size();
    const size_t frees = heap.frees();

    EXPECT_EQ(0u, live) << "heap blocks of the gateway left after " << 3 * kRounds << " raising callbacks";
    EXPECT_GE(frees, 9u * kRounds) << "the tracker saw fewer frees than texts: the test would prove nothing";
    const std::vector<std::wstring> texts = log.texts();
    for (const wchar_t* line : {L"Exception m_AlarmAccessCallback: structured exception 0xC0000005",
                                L"Exception m_AlarmStateCallback: structured exception 0xE06D7363",
                                L"Exception m_GenericEventCallback: structured exception 0xC0000005"}) {
        EXPECT_EQ(kRounds + 1, std::count(texts.begin(), texts.end(), line)) << line;
    }
}

#if defined(_WIN64)
// A C++ exception crosses from this module into the DLL only on x64 (see the unit tests for x86).
void SIPASSVORMEKGATEWAY_CALL throwingGeneric(int32_t, int32_t, int32_t, int64_t, int64_t, const wchar_t*,
                                              const wchar_t*) {
    throw std::runtime_error("x");
}

TEST_F(FailingHostCallbacks, AStdExceptionIsLoggedWithItsMessage) {
    library.RegisterGenericEventCallback(&throwingGeneric);
    ASSERT_TRUE(sim::deliverEvent(genericEvent(fixedTimestamp())));
    EXPECT_EQ(L"Exception m_GenericEventCallback: x", log.texts().back());
}
#endif

// ---- Several simulator threads at once ---------------------------------------------------------------

TEST_F(EventArrays, DeliveriesFromSeveralThreadsWhileTheHostChangesCallbacks) {
    constexpr int kThreads = 4;
    constexpr int kBatches = 10;
    constexpr int kEventsPerBatch = 8;
    std::atomic<int> failedDeliveries{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([&] {
            sim::EventBatch batch;
            for (int i = 0; i < kEventsPerBatch; ++i) {
                batch.elements.push_back(
                    element(sim::EventElement::Kind::Object, objectStateEvent(fixedTimestamp())));
            }
            for (int b = 0; b < kBatches; ++b) {
                if (!sim::deliverEvents(batch, 20000)) {
                    ++failedDeliveries;
                }
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        library.RegisterAlarmStateCallback(i % 2 == 0 ? nullptr : &recordState);
        library.setDropDuration(INT_MAX - i);
    }
    library.RegisterAlarmStateCallback(&recordState);
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(0, failedDeliveries.load());
    // Every event was translated once: a debug line each, whether or not a callback was set at the time.
    auto texts = log.texts();
    EXPECT_EQ(kThreads * kBatches, std::count(texts.begin(), texts.end(), L"OnEvent"));
    const auto debugLines = std::count_if(texts.begin(), texts.end(), [](const std::wstring& text) {
        return text.rfind(L"ObjectState: ", 0) == 0;
    });
    EXPECT_EQ(kThreads * kBatches * kEventsPerBatch, debugLines);
    EXPECT_LE(g_received.states.size(), size_t(kThreads * kBatches * kEventsPerBatch));
}

// ---- gateway_Close while the client is delivering ----------------------------------------------------

namespace {

// A state callback that holds the delivering thread until the test lets it go.
struct BlockingCallback {
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    bool released = false;
    std::atomic<bool> closed{false};
    std::atomic<int> callsAfterClose{0};
} g_blocking;

void SIPASSVORMEKGATEWAY_CALL blockingState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                            int64_t, int64_t, const wchar_t*, const wchar_t*) {
    if (g_blocking.closed) {
        ++g_blocking.callsAfterClose;
    }
    std::unique_lock<std::mutex> lock(g_blocking.mutex);
    ++g_blocking.entered;
    g_blocking.changed.notify_all();
    g_blocking.changed.wait_for(lock, std::chrono::seconds(10), [] { return g_blocking.released; });
}

}  // namespace

TEST_F(EventArrays, CloseDuringADeliveryWaitsForItAndNoCallbackRunsAfterwards) {
    library.RegisterAlarmStateCallback(&blockingState);
    sim::EventBatch batch;
    batch.elements = {element(sim::EventElement::Kind::Object, objectStateEvent(fixedTimestamp())),
                      element(sim::EventElement::Kind::Object, objectStateEvent(fixedTimestamp()))};
    std::thread client([&] { EXPECT_TRUE(sim::deliverEvents(batch, 20000)); });
    {
        std::unique_lock<std::mutex> lock(g_blocking.mutex);
        ASSERT_TRUE(g_blocking.changed.wait_for(lock, std::chrono::seconds(10),
                                                [] { return g_blocking.entered == 1; }));
    }

    std::thread closer([&] {
        library.Close();
        g_blocking.closed = true;
    });
    // The sink is withdrawn at once; Close then waits for the delivery in progress.
    EXPECT_TRUE(sim::waitForAdvisedSinks(0));
    EXPECT_FALSE(g_blocking.closed);
    {
        std::lock_guard<std::mutex> lock(g_blocking.mutex);
        g_blocking.released = true;
    }
    g_blocking.changed.notify_all();
    closer.join();
    client.join();

    EXPECT_EQ(2, g_blocking.entered) << "the delivery in progress was cut short";
    EXPECT_EQ(0, g_blocking.callsAfterClose.load());
    // A later event finds no sink.
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(fixedTimestamp())));
    EXPECT_EQ(2, g_blocking.entered);
}

TEST_F(EventArrays, GeneratedSiteEventsOfEveryKindReachTheHost) {
    library.setDropDuration(180);
    sim::startEventGenerator(200, 7);
    const bool arrived = g_received.waitForCalls(40);
    sim::stopEventGenerator();
    ASSERT_TRUE(arrived);
    std::lock_guard<std::mutex> lock(g_received.mutex);
    EXPECT_FALSE(g_received.accesses.empty());
    EXPECT_FALSE(g_received.states.empty());
    EXPECT_FALSE(g_received.generics.empty());
    for (const AccessCall& call : g_received.accesses) {
        EXPECT_FALSE(call.lastName.empty());
        EXPECT_EQ(0, call.timestampMs % 1000);
    }
}
