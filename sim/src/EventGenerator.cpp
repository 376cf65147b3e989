// Random events of the site at a chosen rate, delivered from a simulator thread of their own: badge
// events with cardholders, doors forced and held, readers going offline and back, database changes.
#include <condition_variable>
#include <iterator>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "EventObject.h"
#include "SimRuntime.h"

namespace sim {
namespace {

struct Generator {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false;  // guarded by mutex
    std::thread thread;          // guarded by mutex
    std::atomic<bool> running{false};
    std::atomic<long> generated{0};
};

// Never destroyed: the thread may still be ending when static objects go at process exit.
Generator& generator() {
    static auto* instance = new Generator;
    return *instance;
}

struct Person {
    const wchar_t* firstName;
    const wchar_t* lastName;
    const wchar_t* card;
};

const Person kPeople[] = {{L"J\u00FCrgen", L"M\u00FCller", L"000123456"},
                          {L"Anna", L"Schmidt", L"000123457"},
                          {L"Ren\u00E9", L"Fran\u00E7ois", L"000200311"},
                          {L"Zo\u00EB", L"\u00C5berg", L"000200312"}};
// Where an event happens: a point of the site, or the server itself when the site has none.
struct Place {
    long pointId = 0;
    std::wstring name = L"SiPass Server";
};

Place randomPlace(std::mt19937& random) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    const auto& points = st.site.points;
    if (points.empty()) {
        return Place{};
    }
    auto point = std::next(points.begin(), static_cast<long>(random() % points.size()));
    return Place{point->first, point->second.name.value_or(L"")};
}

EventObject randomEvent(std::mt19937& random, long eventId) {
    auto pick = [&](int count) { return static_cast<int>(random() % static_cast<unsigned>(count)); };
    EventObject event;
    event.eventId = eventId;
    event.timestamp = localNow();
    event.serverTime = event.timestamp;
    const Place place = randomPlace(random);
    event.location = place.name;
    event.objectId = place.pointId;
    event.objectType = 7;  // ePoint
    event.subType = 5003;  // eAccessPoint
    switch (pick(4)) {
        case 0:
        case 1: {                                                         // a badge at a reader
            static const long states[] = {2030, 2030, 2040, 2011, 2038};  // granted, denied, PIN, expired
            const Person& person = kPeople[pick(4)];
            event.accessEvent = true;
            event.type = 10;  // eAccessEvent
            event.state = states[pick(5)];
            event.stateType = event.state == 2030 ? 0 : 1;
            event.firstName = person.firstName;
            event.lastName = person.lastName;
            event.cardNumber = person.card;
            event.description = event.state == 2030 ? L"Access granted" : L"Access refused";
            break;
        }
        case 2: {  // a door or reader changes state
            static const long states[] = {3006, 3005, 2025, 2026,
                                          3004};  // forced, held, offline, online, closed
            event.objectState = true;
            event.type = 11;       // eObjState
            event.subType = 7006;  // eAccessPointState
            event.state = states[pick(5)];
            event.stateType = event.state == 2026 || event.state == 3004 ? 0 : 1;
            event.description = L"Point state changed";
            break;
        }
        default: {  // a database change
            event.genericEvent = true;
            event.type = 8;  // eGenericEvent
            event.subType = 6001 + pick(3);
            event.location = L"SiPass Server";
            event.description = L"Cardholder record changed";
            break;
        }
    }
    return event;
}

// The generator thread. `whileClientsLive`: ends by itself once no client is left (the DLL's mode).
void run(double eventsPerSecond, unsigned seed, bool whileClientsLive) {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::mt19937 random(seed);
    const auto interval = std::chrono::duration<double>(1.0 / eventsPerSecond);
    Generator& g = generator();
    for (long eventId = 1;; ++eventId) {
        {
            std::unique_lock<std::mutex> lock(g.mutex);
            if (g.wake.wait_for(lock, interval, [&] { return g.stopRequested; })) {
                break;
            }
        }
        {
            std::lock_guard<std::mutex> lock(detail::state().mutex);
            if (whileClientsLive && detail::state().clients.empty()) {
                break;
            }
            if (!detail::state().serverOnline) {
                continue;  // an offline server has no events to give
            }
        }
        EventBatch batch;
        batch.elements.push_back(EventElement{EventElement::Kind::Object, randomEvent(random, eventId)});
        detail::deliverOnThisThread(batch);
        ++g.generated;
    }
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    g.running = false;
    --detail::g_runningThreads;
}

void start(double eventsPerSecond, unsigned seed, bool whileClientsLive) {
    stopEventGenerator();
    Generator& g = generator();
    std::lock_guard<std::mutex> lock(g.mutex);
    g.stopRequested = false;
    g.generated = 0;
    g.running = true;
    ++detail::g_runningThreads;
    try {
        g.thread = std::thread(run, eventsPerSecond, seed, whileClientsLive);
    } catch (...) {
        g.running = false;
        --detail::g_runningThreads;
        throw;
    }
}

}  // namespace

void startEventGenerator(double eventsPerSecond, unsigned seed) {
    if (eventsPerSecond > 0) {
        start(eventsPerSecond, seed, false);
    }
}

void stopEventGenerator() {
    Generator& g = generator();
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.stopRequested = true;
        finished = std::move(g.thread);
    }
    g.wake.notify_all();
    if (finished.joinable()) {
        finished.join();
    }
}

long generatedEvents() {
    return generator().generated.load();
}

namespace detail {

void startEventGeneratorFromEnvironment() {
    const char* rate = std::getenv("SIPASS_SIM_EVENT_RATE");
    if (rate == nullptr || std::atof(rate) <= 0) {
        return;
    }
    if (!generator().running) {
        start(std::atof(rate), 1, true);
    }
}

}  // namespace detail
}  // namespace sim
