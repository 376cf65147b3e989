// Hostile input, seeded and randomised: OnEvent arrays of random shape, elements and failing getters, and
// sites of random shape with failing calls under getAllDoors, getPointState and controlDoor. Nothing may
// crash, every output keeps the records' ownership rule, the cleanup exports free all of it (the DLL's
// heap balances) and the COM leak accounting balances. GATEWAY_FUZZ_CASES sets the number of cases
// (default 1,500 of each kind); GATEWAY_FUZZ_SEED the seed.
#include <climits>
#include <cstdlib>
#include <random>

#include "DoorHeapTracker.h"
#include "DoorTestSupport.h"
#include "EventFixture.h"

namespace {

long fromEnvironment(const char* name, long fallback) {
    const char* value = std::getenv(name);
    const long parsed = value != nullptr ? std::atol(value) : 0;
    return parsed > 0 ? parsed : fallback;
}

const HRESULT kFailures[] = {E_FAIL, E_OUTOFMEMORY, E_INVALIDARG, E_ACCESSDENIED, RPC_E_DISCONNECTED};

class Random {
public:
    explicit Random(unsigned seed) : m_engine(seed) {}
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_engine); }
    bool chance(int percent) { return below(100) < percent; }
    HRESULT failure() { return kFailures[below(5)]; }
    std::optional<std::wstring> text() {
        switch (below(4)) {
            case 0:
                return std::nullopt;
            case 1:
                return std::wstring();
            case 2:
                return std::wstring(L"T\u00FCr \u20AC \U0001F600 ") + std::to_wstring(below(1000));
            default:
                return std::wstring(static_cast<size_t>(below(300)), L'x');
        }
    }
    template <size_t N>
    void failSome(std::map<std::string, HRESULT>& failing, const char* const (&getters)[N], int percent) {
        for (const char* getter : getters) {
            if (chance(percent)) {
                failing[getter] = failure();
            }
        }
    }

private:
    std::mt19937 m_engine;
};

const char* const kEventGetters[] = {"get_EventID",    "get_ObjectID",  "get_ObjectType",  "get_State",
                                     "get_SubType",    "get_Type",      "get_StateType",   "get_Timestamp",
                                     "get_ServerTime", "get_Location",  "get_Description", "get_FirstName",
                                     "get_LastName",   "get_CardNumber"};
const char* const kDeviceGetters[] = {"get_ID", "get_Name", "GetDoorSets"};
const char* const kDoorGetters[] = {"get_DoorNumber", "get_Reader1",  "get_Reader2",
                                    "get_DoorFrame",  "get_Passback", "get_Latch"};
const char* const kPointGetters[] = {"get_Name",       "get_State",    "get_StateType",
                                     "get_ServerTime", "get_Location", "get_Description"};

sim::EventObject randomEvent(Random& random) {
    sim::EventObject event;
    event.accessEvent = random.chance(40);
    event.objectState = random.chance(40);
    event.genericEvent = random.chance(40);
    event.eventId = random.below(INT_MAX);
    event.objectId = random.below(5000) - 10;
    event.objectType = random.below(20) - 2;
    event.state = random.below(10000) - 5;
    event.subType = random.below(10000);
    event.type = random.below(30);
    event.stateType = random.below(4);
    // From long before 1899 to far in the future, with the current time now and then.
    event.timestamp = random.chance(30) ? sim::localNow() : (random.below(200000) - 100000) / 3.0;
    event.serverTime = (random.below(200000) - 100000) / 7.0;
    event.location = random.text();
    event.description = random.text();
    event.firstName = random.text();
    event.lastName = random.text();
    event.cardNumber = random.text();
    if (random.chance(30)) {
        random.failSome(event.failingGetters, kEventGetters, 15);
    }
    return event;
}

sim::EventBatch randomBatch(Random& random) {
    sim::EventBatch batch;
    const int count = random.below(7);
    for (int i = 0; i < count; ++i) {
        sim::EventElement element;
        const int kind = random.below(10);
        element.kind = kind < 5    ? sim::EventElement::Kind::Object
                       : kind == 5 ? sim::EventElement::Kind::NullUnknown
                       : kind == 6 ? sim::EventElement::Kind::Bstr
                       : kind == 7 ? sim::EventElement::Kind::Empty
                       : kind == 8 ? sim::EventElement::Kind::Dispatch
                                   : sim::EventElement::Kind::UnknownWithoutEvents;
        element.event = randomEvent(random);
        batch.elements.push_back(element);
    }
    batch.withoutVarType = random.chance(5);
    batch.twoDimensions = random.chance(5);
    batch.nullArray = random.chance(3);
    return batch;
}

sim::ArrayForm randomArrayForm(Random& random) {
    const int form = random.below(17);
    return form < 10 ? sim::ArrayForm::Normal : static_cast<sim::ArrayForm>(form - 10);
}

sim::ElementForm randomElementForm(Random& random) {
    const int form = random.below(12);
    return form < 8 ? sim::ElementForm::Object : static_cast<sim::ElementForm>(form - 7);
}

void buildRandomSite(Random& random) {
    sim::clearSite();
    long nextPoint = 1;
    const int devices = random.below(4);
    for (int d = 0; d < devices; ++d) {
        sim::SiteDevice device;
        device.id = 1 + d;
        device.name = random.text();
        device.doorSetArray = randomArrayForm(random);
        device.element = randomElementForm(random);
        random.failSome(device.failingGetters, kDeviceGetters, 8);
        const int doors = random.below(4);
        for (int n = 0; n < doors; ++n) {
            sim::SiteDoorSet doorSet;
            doorSet.doorNumber = n + 1;
            doorSet.element = randomElementForm(random);
            random.failSome(doorSet.failingGetters, kDoorGetters, 8);
            for (long* id : {&doorSet.reader1, &doorSet.reader2, &doorSet.doorFrame, &doorSet.passback,
                             &doorSet.latch}) {
                *id = random.chance(90) ? nextPoint++ : 0;
            }
            device.doorSets.push_back(doorSet);
        }
        sim::addDevice(device);
    }
    for (long id = 1; id < nextPoint; ++id) {
        if (random.chance(10)) {
            continue;  // a door set naming a point the site does not have
        }
        sim::SitePoint point;
        point.id = id;
        point.name = random.text();
        point.state = random.below(5000);
        point.stateType = random.below(3);
        point.serverTime = (random.below(200000) - 100000) / 3.0;
        point.location = random.text();
        point.description = random.text();
        point.relativesArray = randomArrayForm(random);
        point.stateElement = randomElementForm(random);
        random.failSome(point.failingGetters, kPointGetters, 8);
        sim::addPoint(point);
    }
    sim::setDeviceArrayForm(randomArrayForm(random));
}

void checkDefinition(const PointDefinition& definition) {
    // Every text is null or terminated; reading it to the end is the check.
    for (const wchar_t* text : {definition.name, definition.state.location, definition.state.description}) {
        if (text != nullptr) {
            (void)std::wcslen(text);
        }
    }
}

}  // namespace

using EventFuzz = EventTest;

TEST_F(EventFuzz, RandomArraysElementsAndFailingGettersNeverHurtTheGateway) {
    const unsigned seed = static_cast<unsigned>(fromEnvironment("GATEWAY_FUZZ_SEED", 20261208));
    const long cases = fromEnvironment("GATEWAY_FUZZ_CASES", 1500);
    Random random(seed);
    library.setDropDuration(random.chance(50) ? INT_MAX : 180);
    for (long i = 0; i < cases; ++i) {
        if (i % 97 == 0) {
            library.setDropDuration(random.below(3) == 0 ? -1 : random.chance(50) ? INT_MAX : 180);
        }
        // The recorders copy every text they get: a null or unterminated one would fail here.
        ASSERT_TRUE(sim::deliverEvents(randomBatch(random))) << "seed " << seed << ", case " << i;
        if (i % 200 == 0) {
            g_received.clear();
            log.clear();
        }
    }
}

class DoorFuzz : public DoorTest {};

TEST_F(DoorFuzz, RandomSitesAndFailingCallsKeepTheOwnershipRule) {
    const unsigned seed = static_cast<unsigned>(fromEnvironment("GATEWAY_FUZZ_SEED", 20261208));
    const long cases = fromEnvironment("GATEWAY_FUZZ_CASES", 1500);
    login();
    raiseOnceOnThisThread();  // lists without their data raise
    DllHeapTracker heap(library.module());
    ASSERT_TRUE(heap.active());
    Random random(seed);
    for (long i = 0; i < cases; ++i) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", case " + std::to_string(i));
        buildRandomSite(random);
        if (random.chance(5)) {
            sim::failMethodNext("IComClient::GetByType", random.failure());
        }
        Device* result = kUntouchedDevices;
        int32_t deviceCount = kUntouchedCount, doorCount = kUntouchedCount;
        const bool listed = library.getAllDoors(&result, &deviceCount, &doorCount);
        // Every path writes all three outputs.
        ASSERT_NE(kUntouchedDevices, result);
        ASSERT_NE(kUntouchedCount, deviceCount);
        ASSERT_NE(kUntouchedCount, doorCount);
        if (!listed) {
            EXPECT_EQ(nullptr, result);
            EXPECT_EQ(0, deviceCount);
            EXPECT_EQ(0, doorCount);
        } else {
            ASSERT_NE(nullptr, result);
            ASSERT_GE(deviceCount, 0);
            int32_t doors = 0;
            for (int32_t d = 0; d < deviceCount; ++d) {
                const Device& device = result[d];
                ASSERT_GE(device.doorsetCount, 0);
                EXPECT_EQ(device.doorsetCount == 0, device.doorsets == nullptr);
                if (device.name != nullptr) {
                    (void)std::wcslen(device.name);
                }
                for (int32_t n = 0; n < device.doorsetCount; ++n) {
                    for (const PointDefinition* definition :
                         {&device.doorsets[n].reader1, &device.doorsets[n].reader2,
                          &device.doorsets[n].doorFrame, &device.doorsets[n].passback,
                          &device.doorsets[n].latch}) {
                        checkDefinition(*definition);
                    }
                }
                doors += device.doorsetCount;
            }
            EXPECT_EQ(doors, doorCount);
        }
        library.cleanupDoorArray(result, deviceCount);
        ASSERT_TRUE(heap.live().empty()) << heap.live().size() << " blocks of the DLL left by getAllDoors, "
                                         << (listed ? "true" : "false") << " " << deviceCount << " devices";

        PointState state{};
        if (library.getPointState(random.below(20), &state)) {
            library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
        }
        // The records of both calls are freed by now. (Checked before the command: its events are translated
        // on client threads, whose per-thread blocks of the runtime live until those threads end.)
        ASSERT_TRUE(heap.live().empty()) << heap.live().size() << " blocks of the DLL left by getPointState";
        ASSERT_EQ(0u, heap.unknownFrees());
        if (random.chance(10)) {
            if (random.chance(30)) {
                sim::failMethodNext("IComClient::SendManualCommand", random.failure());
            }
            library.controlDoor(random.chance(50) ? 7 : 6, random.below(20), 1 + random.below(6));
            // Its events are translated on a client thread; the heap is compared when they are done.
            ASSERT_TRUE(sim::waitForCommandEvents());
        }
        sim::clearFaults();
        heap.clear();
    }
}
