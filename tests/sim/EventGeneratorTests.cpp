// The event generator: every event fits the role of its point, point states follow the events, and a
// seed replays its sequence.
#include "SimTestSupport.h"

#include <map>
#include <set>
#include <tuple>

namespace {

// One event as a sink reads it, without its times (which differ from run to run).
struct SeenEvent {
    enum Kind { Access, State, Generic, Other } kind = Other;
    long eventId = 0, type = 0, subType = 0, objectType = 0, objectId = 0, state = 0, stateType = 0;
    std::wstring location, description, firstName, lastName, card;

    auto fields() const {
        return std::tie(kind, eventId, type, subType, objectType, objectId, state, stateType, location,
                        description, firstName, lastName, card);
    }
    bool operator==(const SeenEvent& other) const { return fields() == other.fields(); }
};

std::wstring text(IEventFields* event, HRESULT (STDMETHODCALLTYPE IEventFields::*getter)(BSTR*)) {
    TestBstr value;
    EXPECT_EQ(S_OK, (event->*getter)(value.out()));
    return value.text();
}

SeenEvent read(IUnknown* object) {
    SeenEvent seen;
    ComPtr<IAccessEvent> access;
    ComPtr<IObjectState> state;
    ComPtr<IGenericEvent> generic;
    IEventFields* fields = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&access)))) {
        seen.kind = SeenEvent::Access;
        TestBstr first, last, card;
        EXPECT_EQ(S_OK, access->get_FirstName(first.out()));
        EXPECT_EQ(S_OK, access->get_LastName(last.out()));
        EXPECT_EQ(S_OK, access->get_CardNumber(card.out()));
        seen.firstName = first.text();
        seen.lastName = last.text();
        seen.card = card.text();
        state = access;
    } else if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&state)))) {
        seen.kind = SeenEvent::State;
    } else if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&generic)))) {
        seen.kind = SeenEvent::Generic;
        fields = generic.Get();
    }
    if (state) {
        fields = state.Get();
        EXPECT_EQ(S_OK, state->get_ObjectType(&seen.objectType));
        EXPECT_EQ(S_OK, state->get_ObjectID(&seen.objectId));
        EXPECT_EQ(S_OK, state->get_State(&seen.state));
        EXPECT_EQ(S_OK, state->get_StateType(&seen.stateType));
    }
    if (fields != nullptr) {
        EXPECT_EQ(S_OK, fields->get_EventID(&seen.eventId));
        EXPECT_EQ(S_OK, fields->get_Type(&seen.type));
        EXPECT_EQ(S_OK, fields->get_SubType(&seen.subType));
        seen.location = text(fields, &IEventFields::get_Location);
        seen.description = text(fields, &IEventFields::get_Description);
    }
    return seen;
}

// Records every event the generator delivers, in order.
class GeneratedEventSink final : public CountedSink {
public:
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override {
        forEachEventObject(events, [&](IUnknown* object) {
            SeenEvent seen = read(object);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(std::move(seen));
        });
        m_changed.notify_all();
        return S_OK;
    }
    bool waitForEvents(size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_events.size() >= count; });
    }
    std::vector<SeenEvent> events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<SeenEvent> m_events;  // guarded by m_mutex
};

// The first `count` events of a generator started with `seed` on the default site.
std::vector<SeenEvent> generate(IComClient* client, std::optional<unsigned> seed, size_t count) {
    sim::resetSite();
    GeneratedEventSink sink;
    {
        Advised advised(client, sink);
        sim::startEventGenerator(1e6, seed);
        EXPECT_TRUE(sink.waitForEvents(count));
        sim::stopEventGenerator();
    }
    EXPECT_TRUE(sink.waitUntilReleased());
    std::vector<SeenEvent> events = sink.events();
    events.resize(std::min(events.size(), count));
    return events;
}

constexpr long kReaderOffline = 2025, kReaderOnline = 2026, kInputPassback = 3000, kPointNormal = 3001,
               kDoorClosed = 3004, kDoorHeld = 3005, kDoorForced = 3006, kLocked = 4000, kUnlocked = 4001;

}  // namespace

using EventGenerator = SimTest;

// Thousands of events of one seed on the default site, where the last digit of a point id is its role
// (1 and 2 readers, 3 door frame, 4 passback, 5 latch). Each event is checked against its point's role
// and the state the events before it left the point in; at the end the site holds those states.
TEST_F(EventGenerator, EventsFitTheRolesOfTheirPointsAndMoveTheirStates) {
    std::map<long, sim::SitePoint> site;
    for (long id : {1011, 1012, 1013, 1014, 1015, 1021, 1022, 1023, 1025, 2011, 2012, 2013, 2014, 2015,
                    2021, 2022, 2023, 2025, 2031, 2032, 2033, 2035, 3011, 3013, 3015, 3021, 3023, 3025}) {
        site[id] = *sim::findPoint(id);
    }
    std::set<std::wstring> cardholders = {
        L"J\u00fcrgen M\u00fcller 000123456",
        L"Anna Schmidt 000123457",
        L"Ren\u00e9 Fran\u00e7ois 000200311",
        L"Zo\u00eb \u00c5berg 000200312",
        L"\u0393\u03b9\u03ce\u03c1\u03b3\u03bf\u03c2 "
        L"\u03a0\u03b1\u03c0\u03b1\u03b4\u03cc\u03c0\u03bf\u03c5\u03bb\u03bf\u03c2 "
        L"000300101",
        L"\u0410\u043d\u043d\u0430 \u0421\u043c\u0438\u0440\u043d\u043e\u0432\u0430 000300102",
        L"\u5c0f\u660e \u738b 000300103"};

    ComPtr<IComClient> client = createClient();
    GeneratedEventSink sink;
    std::vector<SeenEvent> events;
    {
        Advised advised(client.Get(), sink);
        sim::startEventGenerator(1e6, 4711);
        EXPECT_EQ(4711u, sim::eventGeneratorSeed().value_or(0));
        EXPECT_TRUE(sink.waitForEvents(3000));
        sim::stopEventGenerator();  // every event it made has been delivered when it returns
        events = sink.events();
    }
    ASSERT_GE(events.size(), 3000u);
    EXPECT_EQ(static_cast<long>(events.size()), sim::generatedEvents());

    std::map<long, std::wstring> genericTexts;  // sub-type -> description
    std::set<std::wstring> badgesSeen;
    std::map<std::string, int> seen;  // how often each kind of event came
    long expectedId = 1;
    for (const SeenEvent& e : events) {
        SCOPED_TRACE(testing::Message() << "event " << e.eventId << ", point " << e.objectId);
        EXPECT_EQ(expectedId++, e.eventId);
        if (e.kind == SeenEvent::Generic) {
            ++seen["generic"];
            EXPECT_EQ(8, e.type);
            EXPECT_TRUE(e.subType >= 6001 && e.subType <= 6003) << e.subType;
            EXPECT_EQ(L"SiPass Server", e.location);
            EXPECT_TRUE(genericTexts.emplace(e.subType, e.description).first->second == e.description)
                << "one text per sub-type";
            continue;
        }
        ASSERT_NE(SeenEvent::Other, e.kind);
        ASSERT_EQ(7, e.objectType);
        ASSERT_EQ(1u, site.count(e.objectId));
        sim::SitePoint& point = site[e.objectId];
        EXPECT_EQ(*point.location, e.location) << "the point's door";
        EXPECT_EQ(*point.description, e.description) << "the point's role";
        const long role = e.objectId % 10;
        const bool reader = role == 1 || role == 2;
        if (e.kind == SeenEvent::Access) {
            ++seen["access"];
            EXPECT_TRUE(reader) << "a badge away from a reader";
            EXPECT_NE(kReaderOffline, point.state) << "a badge at an offline reader";
            EXPECT_EQ(10, e.type);
            EXPECT_EQ(5003, e.subType);
            EXPECT_TRUE(e.state == 2030 || e.state == 2040 || e.state == 2011 || e.state == 2038) << e.state;
            EXPECT_EQ(e.state == 2030 ? 0 : 1, e.stateType);
            const std::wstring badge = e.firstName + L" " + e.lastName + L" " + e.card;
            EXPECT_EQ(1u, cardholders.count(badge)) << "not a cardholder of the site";
            badgesSeen.insert(badge);
            continue;
        }
        EXPECT_EQ(11, e.type);
        EXPECT_EQ(7006, e.subType);
        std::pair<long, long> expected;
        if (reader) {
            ++seen["reader"];
            expected = point.state == kReaderOffline ? std::make_pair(kReaderOnline, 0L)
                                                     : std::make_pair(kReaderOffline, 1L);
        } else if (role == 3) {
            ++seen[e.state == kDoorForced ? "forced" : e.state == kDoorHeld ? "held" : "closed"];
            const bool open = point.state == kDoorForced || point.state == kDoorHeld;
            EXPECT_TRUE(open ? e.state == kDoorClosed : (e.state == kDoorForced || e.state == kDoorHeld))
                << point.state << " -> " << e.state;
            expected = {e.state, open ? 0 : 1};  // forced and held stay in alarm until the door closes
        } else if (role == 4) {
            ++seen["passback"];
            expected = point.state == kInputPassback ? std::make_pair(kPointNormal, 0L)
                                                     : std::make_pair(kInputPassback, 1L);
        } else {
            ++seen["latch"];
            expected = {point.state == kUnlocked ? kLocked : kUnlocked, 0};
        }
        EXPECT_EQ(expected, std::make_pair(e.state, e.stateType));
        point.state = e.state;
        point.stateType = e.stateType;
    }

    for (const char* kind :
         {"access", "reader", "forced", "held", "closed", "passback", "latch", "generic"}) {
        EXPECT_GT(seen[kind], 0) << "no " << kind << " event among " << events.size();
    }
    EXPECT_GT(seen["access"], seen["latch"] + seen["closed"] + seen["forced"] + seen["held"])
        << "badges are the most common events";
    EXPECT_EQ(3u, std::set<std::wstring>({genericTexts[6001], genericTexts[6002], genericTexts[6003]}).size())
        << "each database change has its own text";
    EXPECT_EQ(cardholders, badgesSeen) << "every cardholder badges, Greek, Cyrillic and CJK names included";
    for (const auto& [id, point] : site) {
        EXPECT_EQ(point.state, sim::findPoint(id)->state) << "point " << id;
        EXPECT_EQ(point.stateType, sim::findPoint(id)->stateType) << "point " << id;
    }
    client.Reset();
    EXPECT_TRUE(sink.waitUntilReleased());
}

// The same seed replays the sequence on the same site; another seed, and a start without one, differ. A
// site file's seed is the one a start without a seed takes.
TEST_F(EventGenerator, TheSameSeedReplaysTheSequence) {
    ComPtr<IComClient> client = createClient();
    const std::vector<SeenEvent> first = generate(client.Get(), 99, 500);
    const std::vector<SeenEvent> again = generate(client.Get(), 99, 500);
    const std::vector<SeenEvent> other = generate(client.Get(), 100, 500);
    ASSERT_EQ(500u, first.size());
    EXPECT_TRUE(first == again) << "seed 99 did not replay";
    EXPECT_FALSE(first == other) << "seeds 99 and 100 gave the same events";

    generate(client.Get(), std::nullopt, 1);
    const auto freshOne = sim::eventGeneratorSeed();
    generate(client.Get(), std::nullopt, 1);
    const auto freshTwo = sim::eventGeneratorSeed();
    ASSERT_TRUE(freshOne && freshTwo);
    EXPECT_NE(*freshOne, *freshTwo) << "a start without a seed takes a fresh one";

    wchar_t directory[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    GetTempFileNameW(directory, L"sed", 0, file);
    FILE* out = _wfopen(file, L"wb");
    std::fputs("{\"seed\": 4000000000}", out);
    std::fclose(out);
    sim::loadSiteFile(file);
    DeleteFileW(file);
    sim::startEventGenerator(1000);
    sim::stopEventGenerator();
    EXPECT_EQ(4000000000u, sim::eventGeneratorSeed().value_or(0));
    client.Reset();
}
