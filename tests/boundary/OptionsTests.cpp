// The host's options: UTC times and unchanged texts, checked against the default they replace, refused
// for unknown bits, and kept across gateway_Close.
#include <cstdlib>
#include <cwchar>

#include "EventFixture.h"

namespace {

constexpr int64_t kHour = 3600000;

// Letters outside the narrow code page: Greek, Cyrillic, CJK (and one above the basic plane), and a
// high surrogate with no partner.
const wchar_t kGreek[] = L"\u0393\u03B9\u03CE\u03C1\u03B3\u03BF\u03C2";           // Γιώργος
const wchar_t kCyrillic[] = L"\u0421\u043C\u0438\u0440\u043D\u043E\u0432\u0430";  // Смирнова
const wchar_t kCjk[] = L"\u738B \u5C0F\u660E \U00020BB7";                         // 王 小明 𠮷
const wchar_t kLoneSurrogate[] = L"A\xD800Z";

sim::EventObject accessWithForeignNames(DATE timestamp) {
    sim::EventObject event = accessEvent(timestamp);
    event.firstName = kGreek;
    event.lastName = kCyrillic;
    event.location = kCjk;
    event.description = std::wstring(kLoneSurrogate) + std::wstring(1, L'\0') + L"hidden";
    return event;
}

// What the narrow form leaves of them: '?' for each letter the code page lacks (one for a surrogate pair).
const wchar_t kGreekNarrowed[] = L"???????";
const wchar_t kCyrillicNarrowed[] = L"????????";
const wchar_t kCjkNarrowed[] = L"? ?? ?";
const wchar_t kLoneSurrogateNarrowed[] = L"A?Z";

uint64_t lastEventReceivedMs(GatewayLibrary& library) {
    GatewayStatistics statistics{};
    statistics.size = sizeof statistics;
    EXPECT_TRUE(library.GetStatistics(&statistics));
    return statistics.lastEventReceivedMs;
}

// A host whose log function turns both options over whenever an event's debug line arrives: that line
// comes after the event's times are made and before its texts are, so the next setting lands in the
// middle of the event.
GatewayLibrary* g_flippingLibrary = nullptr;
uint32_t g_flippedOptions = 0;

void SIPASSVORMEKGATEWAY_CALL flipOptionsOnEventLines(LogLevel level, const wchar_t* text) {
    LogCapture::callback(level, text);
    for (const wchar_t* eventLine : {L"SiPass AccessEvent:", L"ObjectState:", L"SiPass GenericEvent:"}) {
        if (std::wcsncmp(text, eventLine, std::wcslen(eventLine)) == 0) {
            g_flippedOptions ^= GATEWAY_OPTION_UTC_TIMES | GATEWAY_OPTION_UNCHANGED_TEXTS;
            g_flippingLibrary->setOptions(g_flippedOptions);
        }
    }
}

}  // namespace

using HostOptions = EventTest;

// Regression: the options were read for each value, so an event translated while they changed could
// carry a local timestamp with a UTC server time, or times of one setting with texts of the other.
TEST_F(HostOptions, AnOptionSetDuringAnEventAppliesFromTheNextEventOn) {
    const DATE stamped = oleDate(2024, 2, 29, 13, 45, 30);
    const int64_t localMs = 1709214330000;
    sim::EventObject access = accessWithForeignNames(stamped);
    sim::EventObject state = objectStateEvent(stamped);
    sim::EventObject generic = genericEvent(stamped);
    for (sim::EventObject* event : {&access, &state, &generic}) {
        event->serverTime = stamped;
        event->location = kCjk;
        event->description = kGreek;
    }
    g_flippingLibrary = &library;
    g_flippedOptions = 0;
    ASSERT_TRUE(library.setOptions(0));
    library.RegisterLogCallback(&flipOptionsOnEventLines);
    // Each kind twice, so that each starts once with the options off and once with them on.
    for (int round = 0; round < 2; ++round) {
        for (const sim::EventObject* event : {&access, &state, &generic}) {
            ASSERT_TRUE(sim::deliverEvent(*event));
        }
    }
    library.RegisterLogCallback(&LogCapture::callback);
    ASSERT_TRUE(library.setOptions(0));

    struct Delivered {
        const char* kind;
        int64_t timestampMs, serverTimeMs;
        std::wstring location;
    };
    std::vector<Delivered> delivered;
    {
        std::lock_guard<std::mutex> lock(g_received.mutex);
        ASSERT_EQ(2u, g_received.accesses.size());
        ASSERT_EQ(2u, g_received.states.size());
        ASSERT_EQ(2u, g_received.generics.size());
        for (size_t i = 0; i < 2; ++i) {
            const AccessCall& a = g_received.accesses[i];
            const StateCall& s = g_received.states[i];
            const GenericCall& g = g_received.generics[i];
            EXPECT_EQ(a.firstName == kGreek, a.location == kCjk) << "one text form for all texts";
            delivered.push_back({"access", a.timestampMs, a.serverTimeMs, a.location});
            delivered.push_back({"object state", s.timestampMs, s.serverTimeMs, s.location});
            delivered.push_back({"generic", g.timestampMs, g.serverTimeMs, g.location});
        }
    }
    // In delivery order (access, state, generic per round), the options alternate from off.
    for (size_t i = 0; i < delivered.size(); ++i) {
        const Delivered& d = delivered[i];
        const bool optionsOn = i % 2 == 1;
        EXPECT_EQ(d.timestampMs, d.serverTimeMs) << d.kind << " " << i << ": the two times in one base";
        EXPECT_EQ(optionsOn ? localMs - 3 * kHour : localMs, d.timestampMs) << d.kind << " " << i;
        EXPECT_EQ(optionsOn ? std::wstring(kCjk) : std::wstring(kCjkNarrowed), d.location)
            << d.kind << " " << i << ": the texts in the form of the same reading as the times";
    }
}

TEST_F(HostOptions, ChangeTimesAndTextsOnlyWhenAskedAndSurviveClose) {
    const DATE stamped = oleDate(2024, 2, 29, 13, 45, 30);
    const int64_t localMs = 1709214330000;  // 2024-02-29 13:45:30 counted in local time
    sim::SitePoint point;
    point.id = 4712;
    point.name = L"Reader";
    point.state = 3011;
    point.stateType = 1;
    point.serverTime = stamped;
    point.location = kCjk;
    point.description = kLoneSurrogate;
    sim::addPoint(point);

    // The default: local times, and texts through the narrow form ('?' for every letter it lacks).
    ASSERT_TRUE(sim::deliverEvent(accessWithForeignNames(stamped)));
    const uint64_t localReceived = lastEventReceivedMs(library);
    // Unknown bits change nothing.
    log.clear();
    EXPECT_FALSE(library.setOptions(GATEWAY_OPTION_UTC_TIMES | 0x10u));
    EXPECT_TRUE(linesMatch(log.texts(), {L"gateway_setOptions: unknown option bits 0x00000010; the options "
                                         L"stay as they were."}));
    EXPECT_EQ(Error, log.lines()[0].level);
    ASSERT_TRUE(sim::deliverEvent(accessWithForeignNames(stamped)));
    PointState localState{};
    ASSERT_TRUE(library.getPointState(4712, &localState));

    log.clear();
    ASSERT_TRUE(library.setOptions(GATEWAY_OPTION_UTC_TIMES | GATEWAY_OPTION_UNCHANGED_TEXTS));
    EXPECT_TRUE(linesMatch(log.texts(), {L"gateway_setOptions: UTC times, unchanged texts."}));
    // Options belong to the host: a new gateway object keeps them.
    library.Close();
    library.RegisterAlarmAccessCallback(&recordAccess);
    library.setDropDuration(INT_MAX);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    log.clear();
    ASSERT_TRUE(sim::deliverEvent(accessWithForeignNames(stamped)));
    const uint64_t utcReceived = lastEventReceivedMs(library);
    PointState utcState{};
    ASSERT_TRUE(library.getPointState(4712, &utcState));
    const std::vector<std::wstring> utcLines = eventLines();
    ASSERT_TRUE(library.setOptions(0));

    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(3u, g_received.accesses.size());
    for (int i = 0; i < 2; ++i) {
        const AccessCall& call = g_received.accesses[i];
        EXPECT_EQ(localMs, call.timestampMs);
        EXPECT_EQ(kGreekNarrowed, call.firstName);
        EXPECT_EQ(kCyrillicNarrowed, call.lastName);
        EXPECT_EQ(kCjkNarrowed, call.location);
        EXPECT_EQ(kLoneSurrogateNarrowed, call.description);
    }
    // The test runner's zone is UTC + 3 hours, all year.
    const AccessCall& utc = g_received.accesses[2];
    EXPECT_EQ(localMs - 3 * kHour, utc.timestampMs);
    EXPECT_EQ(g_received.accesses[0].serverTimeMs - 3 * kHour, utc.serverTimeMs);
    EXPECT_EQ(kGreek, utc.firstName);
    EXPECT_EQ(kCyrillic, utc.lastName);
    EXPECT_EQ(kCjk, utc.location);
    EXPECT_EQ(kLoneSurrogate, utc.description) << "up to the first NUL, the surrogate kept";
    EXPECT_EQ(localMs, localState.serverTimeMs);
    EXPECT_EQ(localMs - 3 * kHour, utcState.serverTimeMs);
    EXPECT_STREQ(kCjk, utcState.location) << "point texts are the client's own with or without the option";
    // Two readings of the clock a moment apart, three hours apart in their time bases.
    EXPECT_NEAR(static_cast<double>(localReceived - 3 * kHour), static_cast<double>(utcReceived), 60000.0);
    // Log lines keep the local display text and the narrow form.
    EXPECT_TRUE(linesMatch(utcLines, {L"SiPass AccessEvent:  EventID: 4711| ObjectID: 1203| ObjectType: "
                                      L"ePoint (7)| Type: eAccessEvent (10)| SubType: eAccessPoint (5003)| "
                                      L"State: eAccessGranted (2030)| StateType: eStateNormal (0)| "
                                      L"FirstName: ???????| LastName: ????????| CardNumber: 000123456",
                                      L"Fire an registered event."}));
    for (PointState* state : {&localState, &utcState}) {
        library.cleanupPointDefinition(PointDefinition{0, nullptr, *state});
    }
}

// Runs under TZ=Europe/Berlin in its own CTest entry; skips elsewhere.
using DaylightSavingTime = EventTest;

TEST_F(DaylightSavingTime, EventTimesInUtcAtBothChangesOfTheClocks) {
    if (std::getenv("GATEWAY_DST_ZONE") == nullptr) {
        GTEST_SKIP() << "needs TZ=Europe/Berlin (its own CTest entry)";
    }
    struct Case {
        DATE local;
        int64_t utcMs;
    };
    const Case cases[] = {
        {oleDate(2026, 3, 29, 1, 59, 59), 1774745999000},   // CET
        {oleDate(2026, 3, 29, 2, 30, 0), 1774747800000},    // skipped in spring: read as CET
        {oleDate(2026, 3, 29, 3, 0, 0), 1774746000000},     // CEST
        {oleDate(2026, 10, 25, 1, 59, 59), 1792886399000},  // CEST
        {oleDate(2026, 10, 25, 2, 30, 0), 1792888200000},   // twice in autumn: the first, CEST
        {oleDate(2026, 10, 25, 3, 0, 0), 1792893600000},    // CET
    };
    ASSERT_TRUE(library.setOptions(GATEWAY_OPTION_UTC_TIMES));
    for (const Case& c : cases) {
        sim::EventObject event = genericEvent(c.local);
        event.serverTime = c.local;
        ASSERT_TRUE(sim::deliverEvent(event));
    }
    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(6u, g_received.generics.size());
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(cases[i].utcMs, g_received.generics[i].timestampMs) << i;
        EXPECT_EQ(cases[i].utcMs, g_received.generics[i].serverTimeMs) << i;
    }
}
