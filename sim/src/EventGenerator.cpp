// Random events of the site at a chosen rate, delivered from a simulator thread of their own. Each event
// fits the role of its point (badges at readers, forced and held doors at door contacts, lock states at
// latches) and moves the point's state as it says, so that a point query after it agrees with it. The
// sequence follows from a seed and the site alone, so that a run can be replayed.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "Environment.h"
#include "EventGenerator.h"
#include "LiveClients.h"
#include "SimRuntime.h"

namespace sim {
namespace {

using detail::Cardholder;
using detail::PointRole;
using detail::SiteModel;

struct Generator {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false;    // guarded by mutex
    std::thread thread;            // guarded by mutex
    std::optional<unsigned> seed;  // guarded by mutex: of the generator running or started last
    std::atomic<bool> running{false};
    std::atomic<long> generated{0};
};

// Never destroyed: the thread may still be ending when static objects go at process exit.
Generator& generator() {
    static auto* instance = new Generator;
    return *instance;
}

constexpr long kPointType = 7;                   // ePoint
constexpr long kGenericEventType = 8;            // eGenericEvent
constexpr long kAccessEventType = 10;            // eAccessEvent
constexpr long kObjStateType = 11;               // eObjState
constexpr long kAccessPointSubType = 5003;       // eAccessPoint
constexpr long kAccessPointStateSubType = 7006;  // eAccessPointState

// What the generator makes, and how often: out of 20 events, 9 badges, 4 door contacts, and so on.
enum class Kind { Access, DoorFrame, Latch, ReaderStatus, Passback, Generic };
struct Share {
    Kind kind;
    unsigned weight;
};
constexpr Share kShares[] = {{Kind::Access, 9},       {Kind::DoorFrame, 4}, {Kind::Latch, 3},
                             {Kind::ReaderStatus, 1}, {Kind::Passback, 1},  {Kind::Generic, 2}};

// A draw below `count`. Plain modulo of the engine's output rather than a distribution: the engine's
// sequence is fixed by the standard, a distribution's use of it is not, and a seed must replay the same
// events wherever the simulator was built.
unsigned below(std::mt19937& random, unsigned count) {
    return static_cast<unsigned>(random() % count);
}

Kind drawKind(std::mt19937& random) {
    unsigned total = 0;
    for (const Share& share : kShares) {
        total += share.weight;
    }
    unsigned draw = below(random, total);
    for (const Share& share : kShares) {
        if (draw < share.weight) {
            return share.kind;
        }
        draw -= share.weight;
    }
    return Kind::Generic;
}

// The points of the site that serve `role` and pass `usable`, in door order (each once per slot).
template <class Usable>
std::vector<SitePoint*> pointsWithRole(SiteModel& site, PointRole role, Usable&& usable) {
    std::vector<SitePoint*> found;
    detail::forEachDoorPoint(site, [&](long id, PointRole slot) {
        const auto point = site.points.find(id);
        if (slot == role && point != site.points.end() && usable(point->second)) {
            found.push_back(&point->second);
        }
    });
    return found;
}

EventObject eventAt(const SitePoint& point, long eventId, DATE now) {
    EventObject event;
    event.eventId = eventId;
    event.timestamp = now;
    event.serverTime = now;
    event.objectId = point.id;
    event.objectType = kPointType;
    event.location = point.location;
    event.description = point.description;
    return event;
}

// A database change on the server; each sub-type has its own text.
EventObject genericEvent(std::mt19937& random, long eventId, DATE now) {
    static const wchar_t* const kTexts[] = {L"Cardholder record created", L"Cardholder record changed",
                                            L"Cardholder record deleted"};
    const unsigned which = below(random, 3);
    EventObject event;
    event.genericEvent = true;
    event.eventId = eventId;
    event.type = kGenericEventType;
    event.subType = 6001 + static_cast<long>(which);  // eDBCreate, eDBModify, eDBDelete
    event.timestamp = now;
    event.serverTime = now;
    event.location = L"SiPass Server";
    event.description = kTexts[which];
    return event;
}

// A badge at a reader that is not offline. A secured reader denies everyone, a free one lets everyone in.
EventObject accessEvent(const SitePoint& reader, const Cardholder& person, std::mt19937& random, long eventId,
                        DATE now) {
    static const long kOutcomes[] = {detail::kAccessGranted, detail::kAccessGranted, detail::kAccessGranted,
                                     detail::kAccessGranted, detail::kAccessGranted, detail::kAccessGranted,
                                     detail::kAccessDenied,  detail::kInvalidPin,    detail::kCardExpired};
    long outcome = kOutcomes[below(random, static_cast<unsigned>(std::size(kOutcomes)))];
    if (reader.state == detail::kDoorSecured) {
        outcome = detail::kAccessDenied;
    } else if (reader.state == detail::kDoorFree) {
        outcome = detail::kAccessGranted;
    }
    EventObject event = eventAt(reader, eventId, now);
    event.accessEvent = true;
    event.type = kAccessEventType;
    event.subType = kAccessPointSubType;
    event.state = outcome;
    event.stateType = outcome == detail::kAccessGranted ? detail::kStateNormal : detail::kStateAlarm;
    event.firstName = person.firstName;
    event.lastName = person.lastName;
    event.cardNumber = person.cardNumber;
    return event;
}

// The next state of a point of `kind`, from the state it is in.
std::pair<long, long> nextState(Kind kind, const SitePoint& point, std::mt19937& random) {
    using namespace detail;
    switch (kind) {
        case Kind::DoorFrame:
            if (point.state == kDoorForced || point.state == kDoorHeld) {
                return {kDoorClosed, kStateNormal};
            }
            return {below(random, 3) == 0 ? kDoorForced : kDoorHeld, kStateAlarm};
        case Kind::Latch:
            return {point.state == kUnlocked ? kLocked : kUnlocked, kStateNormal};
        case Kind::ReaderStatus:
            if (point.state == kReaderOffline) {
                return {kReaderOnline, kStateNormal};
            }
            return {kReaderOffline, kStateAlarm};
        case Kind::Passback:
            if (point.state == kInputPassback) {
                return {kPointNormal, kStateNormal};
            }
            return {kInputPassback, kStateAlarm};
        default:
            return {point.state, point.stateType};
    }
}

PointRole roleFor(Kind kind) {
    switch (kind) {
        case Kind::Access:
        case Kind::ReaderStatus:
            return PointRole::Reader;
        case Kind::DoorFrame:
            return PointRole::DoorFrame;
        case Kind::Latch:
            return PointRole::Latch;
        case Kind::Passback:
            return PointRole::Passback;
        case Kind::Generic:
            break;
    }
    return PointRole::None;
}

// The next event of the site; an object-state event changes its point in the site first.
// REQUIRES: State::mutex held.
EventObject nextEventLocked(detail::State& st, std::mt19937& random, long eventId, DATE now) {
    const Kind kind = drawKind(random);
    if (kind == Kind::Generic) {
        return genericEvent(random, eventId, now);
    }
    const bool access = kind == Kind::Access;
    const auto candidates = pointsWithRole(st.site, roleFor(kind), [&](const SitePoint& point) {
        return !access || point.state != detail::kReaderOffline;
    });
    if (candidates.empty() || (access && st.cardholders.empty())) {
        return genericEvent(random, eventId, now);
    }
    SitePoint& point = *candidates[below(random, static_cast<unsigned>(candidates.size()))];
    if (access) {
        const Cardholder& person =
            st.cardholders[below(random, static_cast<unsigned>(st.cardholders.size()))];
        return accessEvent(point, person, random, eventId, now);
    }
    const auto [state, stateType] = nextState(kind, point, random);
    point.state = state;
    point.stateType = stateType;
    point.serverTime = now;
    EventObject event = eventAt(point, eventId, now);
    event.objectState = true;
    event.type = kObjStateType;
    event.subType = kAccessPointStateSubType;
    event.state = state;
    event.stateType = stateType;
    return event;
}

// The generator thread. `whileClientsLive`: ends by itself once no client is left (the DLL's mode).
// Events are due at fixed steps from the start, so the rate holds however long a delivery takes; after a
// stall of more than a second the schedule starts afresh instead of catching up in a burst.
void run(double eventsPerSecond, unsigned seed, bool whileClientsLive) {
    detail::markSimulatorThread();
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::mt19937 random(seed);
    using Clock = std::chrono::steady_clock;
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / eventsPerSecond));
    auto due = Clock::now();
    Generator& g = generator();
    for (long eventId = 1;; ++eventId) {
        due += interval;
        {
            std::unique_lock<std::mutex> lock(g.mutex);
            if (g.wake.wait_until(lock, due, [&] { return g.stopRequested; })) {
                break;
            }
        }
        if (Clock::now() - due > std::chrono::seconds(1)) {
            due = Clock::now();
        }
        const DATE now = localNow();
        EventObject event;
        {
            auto& st = detail::state();
            std::lock_guard<std::mutex> lock(st.mutex);
            if (whileClientsLive && st.clients.empty()) {
                break;
            }
            if (!st.serverOnline) {
                continue;  // an offline server has no events to give
            }
            event = nextEventLocked(st, random, eventId, now);
        }
        EventBatch batch;
        batch.elements.push_back(EventElement{EventElement::Kind::Object, std::move(event)});
        detail::deliverOnThisThread(batch);
        ++g.generated;
    }
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    g.running = false;
    --detail::g_runningThreads;
}

// A seed no earlier run is likely to have had.
unsigned freshSeed() {
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    unsigned seed = static_cast<unsigned>(counter.QuadPart) ^ (::GetCurrentProcessId() << 16);
    try {
        seed ^= std::random_device()();
    } catch (...) {
        // No random device: the counter and the process differ from run to run.
    }
    return seed;
}

// The seed when none is asked for: the site file's, or a fresh one.
unsigned siteOrFreshSeed() {
    std::optional<unsigned> site;
    {
        auto& st = detail::state();
        std::lock_guard<std::mutex> lock(st.mutex);
        site = st.siteSeed;
    }
    return site ? *site : freshSeed();
}

void start(double eventsPerSecond, unsigned seed, bool whileClientsLive) {
    stopEventGenerator();
    Generator& g = generator();
    std::lock_guard<std::mutex> lock(g.mutex);
    g.stopRequested = false;
    g.generated = 0;
    g.seed = seed;
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

// The generator's settings from the environment of the registered DLL.
struct EnvironmentSettings {
    double eventsPerSecond = 0;  // 0: no generator
    std::optional<unsigned> seed;
};

// Reads SIPASS_SIM_EVENT_RATE and SIPASS_SIM_SEED; an absent or empty variable is not set. Returns what
// is wrong with them, or "" when both are usable.
std::string readEnvironment(EnvironmentSettings& settings) {
    const std::string rate = detail::environmentValueUtf8(L"SIPASS_SIM_EVENT_RATE");
    if (!rate.empty()) {
        char* end = nullptr;
        const double value = std::strtod(rate.c_str(), &end);
        if (end == rate.c_str() || *end != '\0' || !std::isfinite(value)) {
            return "SIPASS_SIM_EVENT_RATE=" + rate + ": not a number of events per second";
        }
        if (value < 0) {
            return "SIPASS_SIM_EVENT_RATE=" + rate + ": a rate must not be negative";
        }
        settings.eventsPerSecond = value;
    }
    const std::string seed = detail::environmentValueUtf8(L"SIPASS_SIM_SEED");
    if (!seed.empty()) {
        const bool digits = seed.size() <= 10 && seed.find_first_not_of("0123456789") == std::string::npos;
        const unsigned long long value = digits ? std::strtoull(seed.c_str(), nullptr, 10) : 0;
        if (!digits || value > 0xFFFFFFFFull) {
            return "SIPASS_SIM_SEED=" + seed + ": not a seed (a whole number from 0 to 4294967295)";
        }
        settings.seed = static_cast<unsigned>(value);
    }
    return "";
}

}  // namespace

void startEventGenerator(double eventsPerSecond, std::optional<unsigned> seed) {
    if (eventsPerSecond > 0) {
        start(eventsPerSecond, seed ? *seed : siteOrFreshSeed(), false);
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

std::optional<unsigned> eventGeneratorSeed() {
    Generator& g = generator();
    std::lock_guard<std::mutex> lock(g.mutex);
    return g.seed;
}

namespace detail {

HRESULT checkGeneratorEnvironment() {
    EnvironmentSettings settings;
    const std::string problem = readEnvironment(settings);
    if (!problem.empty()) {
        tellHost(problem);
        return E_FAIL;
    }
    return S_OK;
}

void startEventGeneratorFromEnvironment() {
    EnvironmentSettings settings;
    if (!readEnvironment(settings).empty() || settings.eventsPerSecond <= 0 || generator().running) {
        return;  // a wrong setting was reported when the client was created
    }
    const unsigned seed = settings.seed ? *settings.seed : siteOrFreshSeed();
    start(settings.eventsPerSecond, seed, true);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", settings.eventsPerSecond);
    tellHost(std::string(rate) + " events per second, seed " + std::to_string(seed) +
             " (SIPASS_SIM_SEED=" + std::to_string(seed) + " makes the same events on the same site)");
}

}  // namespace detail
}  // namespace sim
