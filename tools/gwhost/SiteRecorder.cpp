#define _CRT_RAND_S
#include "SiteRecorder.h"

#include <windows.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CommandRefusal.h"
#include "Diagnostics.h"
#include "EventView.h"
#include "ExitCodes.h"
#include "Output.h"
#include "Password.h"
#include "Pseudonyms.h"
#include "Text.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

enum class Kind { State, Access, Generic, Outage };

// One entry of the timeline as a callback received it.
struct Entry {
    Entry(Kind k, Clock::time_point when) : kind(k), at(when) {}
    Kind kind;
    Clock::time_point at;  // when it arrived; an outage: when the connection was lost
    int32_t eventId = 0, type = 0, subType = 0, objectType = 0, objectId = 0, state = 0, stateType = 0;
    std::wstring location, description, firstName, lastName, cardNumber;
    Clock::duration outage{};  // an outage: until the connection was back (or the recording ended)
    bool outageEnded = false;
};

// What the callbacks record. They run on the client's threads; runRecord reads it after gateway_Close.
struct Recording {
    std::mutex mutex;
    Clock::time_point start;           // guarded by mutex: the login's end, from which delays count
    std::vector<Entry> entries;        // guarded by mutex, in the order received
    long events = 0;                   // guarded by mutex
    std::optional<long> limit;         // set before the login: the recording ends after this many events
    bool closed = false;               // guarded by mutex: the recording has ended, nothing more is taken
    std::optional<size_t> openOutage;  // guarded by mutex: the entry of a loss whose end has not come
    bool clientReconnected = false;    // guarded by mutex: the client logged in again by itself
    long eventsInOutage = 0;           // guarded by mutex: events that arrived while the connection was lost
};

Recording g_recording;

// REQUIRES: g_recording.mutex held. False when the recording takes no more events.
bool takeEvent(Entry entry) {
    if (g_recording.closed || g_recording.events >= g_recording.limit.value_or(LONG_MAX)) {
        return false;
    }
    if (g_recording.openOutage) {
        ++g_recording.eventsInOutage;
    }
    g_recording.entries.push_back(std::move(entry));
    if (++g_recording.events >= g_recording.limit.value_or(LONG_MAX)) {
        endEventWait();
    }
    return true;
}

// A callback's text; a null one as empty.
std::wstring textOf(const wchar_t* text) {
    return text != nullptr ? text : L"";
}

// The fields an object-state and an access event share.
Entry pointEvent(Kind kind, int32_t eventId, int32_t objectId, int32_t objectType, int32_t type,
                 int32_t subType, int32_t state, int32_t stateType, const wchar_t* location,
                 const wchar_t* description) {
    Entry entry{kind, Clock::now()};
    entry.eventId = eventId;
    entry.objectId = objectId;
    entry.objectType = objectType;
    entry.type = type;
    entry.subType = subType;
    entry.state = state;
    entry.stateType = stateType;
    entry.location = textOf(location);
    entry.description = textOf(description);
    return entry;
}

void SIPASSVORMEKGATEWAY_CALL recordState(int32_t eventId, int32_t objectId, int32_t objectType, int32_t type,
                                          int32_t subType, int32_t state, int32_t stateType, int64_t, int64_t,
                                          const wchar_t* location, const wchar_t* description) {
    Entry entry = pointEvent(Kind::State, eventId, objectId, objectType, type, subType, state, stateType,
                             location, description);
    std::lock_guard<std::mutex> lock(g_recording.mutex);
    takeEvent(std::move(entry));
}

void SIPASSVORMEKGATEWAY_CALL recordAccess(int32_t eventId, int32_t objectId, int32_t objectType,
                                           int32_t type, int32_t subType, int32_t state, int32_t stateType,
                                           int64_t, int64_t, const wchar_t* firstName,
                                           const wchar_t* lastName, const wchar_t* cardNumber,
                                           const wchar_t* location, const wchar_t* description) {
    Entry entry = pointEvent(Kind::Access, eventId, objectId, objectType, type, subType, state, stateType,
                             location, description);
    entry.firstName = textOf(firstName);
    entry.lastName = textOf(lastName);
    entry.cardNumber = textOf(cardNumber);
    std::lock_guard<std::mutex> lock(g_recording.mutex);
    takeEvent(std::move(entry));
}

void SIPASSVORMEKGATEWAY_CALL recordGeneric(int32_t eventId, int32_t type, int32_t subType, int64_t, int64_t,
                                            const wchar_t* location, const wchar_t* description) {
    Entry entry{Kind::Generic, Clock::now()};
    entry.eventId = eventId;
    entry.type = type;
    entry.subType = subType;
    entry.location = textOf(location);
    entry.description = textOf(description);
    std::lock_guard<std::mutex> lock(g_recording.mutex);
    takeEvent(std::move(entry));
}

// REQUIRES: g_recording.mutex held. Ends the outage under way at `now`. The events that arrived while the
// connection was lost (a client may hand over what it held) are played when the server is back, in their
// order: a site file's outage swallows the events inside it.
void endOutage(Clock::time_point now) {
    Entry& outage = g_recording.entries[*g_recording.openOutage];
    outage.outage = now - outage.at;
    for (size_t i = *g_recording.openOutage + 1; i < g_recording.entries.size(); ++i) {
        g_recording.entries[i].at = now;
    }
    g_recording.openOutage.reset();
}

// A loss opens an outage; the next "connected" ends it, whether the gateway logged in again (attempt > 0)
// or the client did by itself (attempt 0), which the site file tells as "clientsReconnect". Failed attempts
// change nothing: the outage lasts until the connection is back.
void SIPASSVORMEKGATEWAY_CALL recordConnection(int32_t state, int32_t attempt, int32_t) {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(g_recording.mutex);
    if (g_recording.closed) {
        return;
    }
    if (state == GATEWAY_CONNECTION_LOST && attempt == 0 && !g_recording.openOutage) {
        g_recording.openOutage = g_recording.entries.size();
        g_recording.entries.push_back(Entry{Kind::Outage, now});
    } else if (state == GATEWAY_CONNECTION_CONNECTED && g_recording.openOutage) {
        g_recording.entries[*g_recording.openOutage].outageEnded = true;
        g_recording.clientReconnected = g_recording.clientReconnected || attempt == 0;
        endOutage(now);
    }
}

// The temporary file a recording is written to, removed unless it has become the site file.
class PartialFile {
public:
    PartialFile() = default;
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        closeHandle();
        if (!m_path.empty()) {
            ::DeleteFileW(m_path.c_str());
        }
    }

    // Creates the file, which must not exist; an empty result means success.
    std::string create(const std::wstring& path) {
        m_handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
        if (m_handle == INVALID_HANDLE_VALUE) {
            return systemMessage(::GetLastError());
        }
        m_path = path;
        return {};
    }

    // Writes all of `text`, flushed to the disk, and closes the file; an empty result means success.
    std::string write(const std::string& text) {
        for (size_t done = 0; done < text.size();) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
            DWORD written = 0;
            if (!::WriteFile(m_handle, text.data() + done, chunk, &written, nullptr) || written == 0) {
                return systemMessage(::GetLastError());
            }
            done += written;
        }
        if (!::FlushFileBuffers(m_handle)) {
            return systemMessage(::GetLastError());
        }
        return closeHandle() ? std::string() : systemMessage(::GetLastError());
    }

    // Renames the written file to `target` (replacing it when `replace`); an empty result means success,
    // and the file is then no longer removed.
    std::string commit(const std::wstring& target, bool replace) {
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
        if (!::MoveFileExW(m_path.c_str(), target.c_str(), flags)) {
            return systemMessage(::GetLastError());
        }
        m_path.clear();
        return {};
    }

    const std::wstring& path() const { return m_path; }

private:
    bool closeHandle() {
        const bool closed = m_handle == INVALID_HANDLE_VALUE || ::CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return closed;
    }

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::wstring m_path;
};

// "YYYY-MM-DD hh:mm:ss" local time of a gateway time (milliseconds since 1970 in the base asked for);
// none for 0 (no time) or a time no calendar holds.
std::optional<std::string> localTimeText(int64_t milliseconds, bool utc) {
    constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;  // 100 ns units since 1601
    if (milliseconds <= 0 || milliseconds > 253402300799000LL) {    // up to 9999-12-31 23:59:59
        return std::nullopt;
    }
    const int64_t ticks = milliseconds * 10000 + kUnixEpochAsFileTime;
    FILETIME file{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME fields{};
    if (!::FileTimeToSystemTime(&file, &fields)) {
        return std::nullopt;
    }
    if (utc) {
        SYSTEMTIME local{};
        if (!::SystemTimeToTzSpecificLocalTime(nullptr, &fields, &local)) {
            return std::nullopt;
        }
        fields = local;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", fields.wYear, fields.wMonth,
                  fields.wDay, fields.wHour, fields.wMinute, fields.wSecond);
    return std::string(text);
}

// What the door table gave, as the members "points" and "devices" of a site file.
struct SiteTables {
    bool read = false;
    std::string failure;  // why the table could not be read
    Json points = Json::array();
    Json devices = Json::array();
    size_t doors = 0;
    std::vector<std::string> problems;  // what of it the file leaves out, and why
    long withoutTime = 0;               // points whose server time was not given
    long oddStateType = 0;              // points whose state type a site file cannot hold
};

Json pointJson(const PointDefinition& point, bool utc, SiteTables& tables) {
    Json json = {{"id", point.id}};
    if (point.name != nullptr) {
        json["name"] = utf8(point.name);
    }
    json["state"] = point.state.state;
    if (point.state.stateType == 0 || point.state.stateType == 1) {
        json["stateType"] = point.state.stateType;
    } else {
        ++tables.oddStateType;
    }
    if (const auto time = localTimeText(point.state.serverTimeMs, utc)) {
        json["serverTime"] = *time;
    } else {
        ++tables.withoutTime;
    }
    if (point.state.location != nullptr) {
        json["location"] = utf8(point.state.location);
    }
    if (point.state.description != nullptr) {
        json["description"] = utf8(point.state.description);
    }
    return json;
}

// Reads every device, door and point. A point whose record getAllDoors left empty (no time, no texts) is
// asked for with gateway_getPointState. What a site file cannot hold twice (a device id, a door number
// of a device, a point in a second place) is left out where it comes again, and said.
SiteTables readSiteTables(const GatewayApi& api, const Options& options) {
    SiteTables tables;
    Device* devices = nullptr;
    int32_t deviceCount = 0, doorCount = 0;
    if (!api.getAllDoors(&devices, &deviceCount, &doorCount)) {
        tables.failure = failureReason(api, options.real);
        api.cleanupDoorArray(devices, deviceCount);
        return tables;
    }
    tables.read = true;
    std::set<int32_t> deviceIds, pointIds;
    for (int32_t d = 0; d < deviceCount; ++d) {
        const Device& device = devices[d];
        const std::string deviceName = "device " + std::to_string(device.id);
        if (!deviceIds.insert(device.id).second) {
            tables.problems.push_back(deviceName + " a second time (a device id is listed once)");
            continue;
        }
        Json deviceJson = {{"id", device.id}};
        if (device.name != nullptr) {
            deviceJson["name"] = utf8(device.name);
        }
        Json doors = Json::array();
        std::set<int32_t> doorNumbers;
        for (int32_t n = 0; n < device.doorsetCount; ++n) {
            const Doorset& door = device.doorsets[n];
            const std::string doorName = deviceName + " door " + std::to_string(door.doorNumber);
            if (!doorNumbers.insert(door.doorNumber).second) {
                tables.problems.push_back(doorName + " a second time (a door number is listed once)");
                continue;
            }
            Json doorJson = {{"door", door.doorNumber}};
            const std::pair<const char*, const PointDefinition*> roles[] = {{"reader1", &door.reader1},
                                                                            {"reader2", &door.reader2},
                                                                            {"doorFrame", &door.doorFrame},
                                                                            {"passback", &door.passback},
                                                                            {"latch", &door.latch}};
            for (const auto& [role, point] : roles) {
                if (point->id == 0) {
                    continue;
                }
                if (!pointIds.insert(point->id).second) {
                    tables.problems.push_back(doorName + " " + role + ": point " + std::to_string(point->id) +
                                              " again (a point serves in one place)");
                    continue;
                }
                doorJson[role] = point->id;
                const bool empty = point->state.serverTimeMs == 0 && point->state.location == nullptr &&
                                   point->state.description == nullptr;
                PointDefinition asked{};
                asked.id = point->id;
                if (empty && api.getPointState(point->id, &asked.state)) {
                    asked.name = point->name;
                    tables.points.push_back(pointJson(asked, options.utc, tables));
                    asked.name = nullptr;
                    api.cleanupPointDefinition(asked);
                } else {
                    tables.points.push_back(pointJson(*point, options.utc, tables));
                }
            }
            doors.push_back(std::move(doorJson));
            ++tables.doors;
        }
        deviceJson["doors"] = std::move(doors);
        tables.devices.push_back(std::move(deviceJson));
    }
    api.cleanupDoorArray(devices, deviceCount);
    return tables;
}

void replaceAll(std::wstring& text, const std::wstring& what, const std::wstring& by) {
    if (what.empty()) {
        return;
    }
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + by.size())) {
        text.replace(at, what.size(), by);
    }
}

// What the timeline holds, for the summary.
struct Counts {
    long state = 0, access = 0, generic = 0, outages = 0, cardholders = 0;
    long accessWithoutCard = 0, outageUnended = 0, eventsInOutage = 0;
};

// The members "cardholders" and "events" from what the callbacks received. With pseudonyms, every
// cardholder's names and card number are replaced, in the cardholder list, in the events and wherever the
// event's location or description repeat them (names of two letters or more).
void timelineJson(const std::vector<Entry>& entries, Clock::time_point start, Pseudonyms* pseudonyms,
                  Json& cardholders, Json& events, Counts& counts) {
    std::set<std::wstring> cards;
    const auto delayOf = [&](Clock::time_point at) {
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - start).count();
        return ms < 0 ? 0 : ms > INT32_MAX ? INT32_MAX : ms;
    };
    for (Entry entry : entries) {
        Json json = {{"delayMs", delayOf(entry.at)}};
        if (entry.kind == Kind::Outage) {
            const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(entry.outage).count();
            json["kind"] = "outage";
            json["durationMs"] =
                std::max(1LL, std::min<long long>(ms, INT32_MAX - json["delayMs"].get<long long>()));
            ++counts.outages;
            counts.outageUnended += entry.outageEnded ? 0 : 1;
            events.push_back(std::move(json));
            continue;
        }
        static const char* const kKinds[] = {"state", "access", "generic"};
        static const int32_t kDefaultTypes[] = {11, 10, 8};
        const int kind = static_cast<int>(entry.kind);
        json["kind"] = kKinds[kind];
        json["eventId"] = entry.eventId;
        if (entry.type != kDefaultTypes[kind]) {
            json["type"] = entry.type;
        }
        json["subType"] = entry.subType;
        if (entry.kind != Kind::Generic) {
            if (entry.objectType != 7) {
                json["objectType"] = entry.objectType;
            }
            json["objectId"] = entry.objectId;
            json["state"] = entry.state;
            json["stateType"] = entry.stateType;
        }
        if (entry.kind == Kind::Access) {
            ++counts.access;
            if (pseudonyms != nullptr) {
                const std::wstring first = pseudonyms->name(entry.firstName);
                const std::wstring last = pseudonyms->name(entry.lastName);
                const std::wstring card = pseudonyms->card(entry.cardNumber);
                for (std::wstring* text : {&entry.location, &entry.description}) {
                    for (const auto& [original, pseudonym] :
                         {std::make_pair(entry.firstName, first), std::make_pair(entry.lastName, last),
                          std::make_pair(entry.cardNumber, card)}) {
                        if (original.size() >= 2) {
                            replaceAll(*text, original, pseudonym);
                        }
                    }
                }
                entry.firstName = first;
                entry.lastName = last;
                entry.cardNumber = card;
            }
            if (entry.cardNumber.empty()) {
                ++counts.accessWithoutCard;
            } else if (cards.insert(entry.cardNumber).second) {
                Json person = Json::object();
                if (!entry.firstName.empty()) {
                    person["firstName"] = utf8(entry.firstName);
                }
                if (!entry.lastName.empty()) {
                    person["lastName"] = utf8(entry.lastName);
                }
                person["cardNumber"] = utf8(entry.cardNumber);
                cardholders.push_back(std::move(person));
            }
        } else {
            ++(entry.kind == Kind::State ? counts.state : counts.generic);
        }
        json["location"] = utf8(entry.location);
        json["description"] = utf8(entry.description);
        if (entry.kind == Kind::Access) {
            json["firstName"] = utf8(entry.firstName);
            json["lastName"] = utf8(entry.lastName);
            json["cardNumber"] = utf8(entry.cardNumber);
        }
        events.push_back(std::move(json));
    }
    counts.cardholders = static_cast<long>(cardholders.size());
}

std::string dumped(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The site file's text: one member a line, and one line for each element of the lists, as the example
// sites are written, so that a person can read and edit it.
std::string siteText(const Json& site) {
    std::string text = "{\n";
    size_t member = 0;
    for (const auto& [key, value] : site.items()) {
        text += "  " + dumped(key) + ": ";
        if (value.is_array() && !value.empty()) {
            text += "[\n";
            for (size_t i = 0; i < value.size(); ++i) {
                text += "    " + dumped(value[i]) + (i + 1 < value.size() ? ",\n" : "\n");
            }
            text += "  ]";
        } else {
            text += dumped(value);
        }
        text += ++member < site.size() ? ",\n" : "\n";
    }
    return text + "}\n";
}

// A password for the recorded site's one account, from the system's random source.
std::string randomPassword() {
    static const char kLetters[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string password;
    for (int i = 0; i < 16; ++i) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) {
            std::abort();  // no system random source: no password that could be guessed instead
        }
        password += kLetters[value % (sizeof kLetters - 1)];
    }
    return password;
}

std::string counted(long count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The summary's list of what the file leaves out, each with the reason.
std::vector<std::string> leftOut(const SiteTables& tables, const Counts& counts) {
    std::vector<std::string> list = {
        "named objects (no export of the gateway lists them)",
        "points that no door names, and the site's own accounts (the gateway reads neither)",
        "the events' times (a played event is stamped when it is played; the delays keep the gaps)",
    };
    if (!tables.read) {
        list.push_back("devices, doors and points (gateway_getAllDoors failed: " + tables.failure + ")");
    }
    if (tables.withoutTime > 0) {
        list.push_back("the server time of " + counted(tables.withoutTime, "point", "points") +
                       " (the gateway gave none)");
    }
    if (tables.oddStateType > 0) {
        list.push_back("the state type of " + counted(tables.oddStateType, "point", "points") +
                       " (neither 0 nor 1, which a site file cannot hold)");
    }
    for (const std::string& problem : tables.problems) {
        list.push_back(problem);
    }
    if (counts.accessWithoutCard > 0) {
        list.push_back(
            "from the cardholders: " + counted(counts.accessWithoutCard, "access event", "access events") +
            " without a card number (the events keep their names)");
    }
    return list;
}

}  // namespace

int runRecord(const GatewayApi& api, const Options& options) {
    const std::wstring& out = *options.out;
    const std::string outName = utf8(out);
    if (::GetFileAttributesW(out.c_str()) != INVALID_FILE_ATTRIBUTES && !options.force) {
        return fail(kBadArguments, outName + " exists: --force replaces it");
    }
    // The temporary file is made before the login, so that a folder that is missing or not writable is
    // said at once, not after a recording of hours.
    PartialFile partial;
    const std::string created =
        partial.create(out + L"." + std::to_wstring(::GetCurrentProcessId()) + L".partial");
    if (!created.empty()) {
        return fail(kCannotWrite, "cannot write beside " + outName + ": " + created);
    }
    if (options.keepNames) {
        note("warning: --keep-names: the file holds the cardholders' real names and card numbers");
    }
    g_recording.limit = options.events;
    api.setReconnectPolicy(options.reconnect ? options.firstDelayMs : 0,
                           options.reconnect ? options.maxDelayMs : 0);
    if (options.checkMs) {
        api.setConnectionCheck(*options.checkMs);
    }
    api.registerConnectionStateCallback(&recordConnection);
    api.registerStateCallback(&recordState);
    api.registerAccessCallback(&recordAccess);
    api.registerGenericCallback(&recordGeneric);

    std::wstring password;
    std::string problem;
    if (!readPassword(options.user, password, problem)) {
        return fail(kBadArguments, problem);
    }
    const bool loggedIn = api.init(options.user.c_str(), password.c_str());
    wipe(password);
    if (!loggedIn) {
        const std::string reason = failureReason(api, options.real);
        api.close();
        api.registerConnectionStateCallback(nullptr);
        api.setReconnectPolicy(0, 0);
        if (options.checkMs) {
            api.setConnectionCheck(0);
        }
        return fail(kRefused, "login as " + utf8(options.user) + " failed: " + reason);
    }
    {
        std::lock_guard<std::mutex> lock(g_recording.mutex);
        g_recording.start = Clock::now();
    }
    const SiteTables tables = readSiteTables(api, options);
    // Delays are 32-bit milliseconds: a recording without --seconds ends after 24 days at the latest.
    waitForEvents(options.seconds ? options.seconds : std::optional<int>(INT32_MAX / 1000 - 3600));
    api.close();
    api.registerConnectionStateCallback(nullptr);
    api.setReconnectPolicy(0, 0);
    if (options.checkMs) {
        api.setConnectionCheck(0);
    }

    std::vector<Entry> entries;
    Clock::time_point start;
    bool clientReconnected = false;
    long eventsInOutage = 0;
    {
        std::lock_guard<std::mutex> lock(g_recording.mutex);
        g_recording.closed = true;
        if (g_recording.openOutage) {
            endOutage(Clock::now());  // the loss lasted at least until the recording ended
        }
        entries = g_recording.entries;
        start = g_recording.start;
        clientReconnected = g_recording.clientReconnected;
        eventsInOutage = g_recording.eventsInOutage;
    }

    Pseudonyms pseudonyms;
    Json cardholders = Json::array();
    Json events = Json::array();
    Counts counts;
    timelineJson(entries, start, options.keepNames ? nullptr : &pseudonyms, cardholders, events, counts);

    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    char date[32];
    std::snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute);
    const std::string accountPassword = randomPassword();
    Json site = {
        {"name", std::string("Recorded ") + date + " through SiPassVormekGateway " + utf8(api.getVersion()) +
                     (options.keepNames ? "" : ", cardholders pseudonymous")},
        {"accounts", Json::array({{{"user", "operator"}, {"password", accountPassword}}})}};
    if (clientReconnected) {
        site["clientsReconnect"] = true;
    }
    // An empty list, not a missing one: without the member the simulator brings cardholders of its own.
    site["cardholders"] = std::move(cardholders);
    if (tables.read) {
        site["points"] = tables.points;
        site["devices"] = tables.devices;
    }
    site["events"] = std::move(events);

    const std::string written = partial.write(siteText(site));
    if (!written.empty()) {
        return fail(kCannotWrite, "cannot write the recorded site beside " + outName + ": " + written);
    }
    const std::wstring partialPath = partial.path();
    const std::string renamed = partial.commit(out, options.force);
    if (!renamed.empty()) {
        // The recording is whole: it stays under its temporary name rather than being lost.
        return fail(kCannotWrite, "cannot name the recorded site " + outName + " (" + renamed +
                                      "); it is kept as " + utf8(partialPath));
    }

    const std::vector<std::string> omissions = leftOut(tables, counts);
    if (options.json) {
        Json summary = {
            {"file", outName},
            {"devices", tables.devices.size()},
            {"doors", tables.doors},
            {"points", tables.points.size()},
            {"cardholders", counts.cardholders},
            {"events", {{"state", counts.state}, {"access", counts.access}, {"generic", counts.generic}}},
            {"outages", counts.outages},
            {"pseudonyms", !options.keepNames},
            {"account", {{"user", "operator"}, {"password", accountPassword}}},
            {"leftOut", omissions}};
        printJson(summary);
    } else {
        std::string text = "recorded " + outName + ": " +
                           counted(static_cast<long>(tables.devices.size()), "device", "devices") + ", " +
                           counted(static_cast<long>(tables.doors), "door", "doors") + ", " +
                           counted(static_cast<long>(tables.points.size()), "point", "points") + ", " +
                           counted(counts.cardholders, "cardholder", "cardholders") + "\n" +
                           "  events: " + std::to_string(counts.state) + " state, " +
                           std::to_string(counts.access) + " access, " + std::to_string(counts.generic) +
                           " generic; " + counted(counts.outages, "outage", "outages");
        if (counts.outageUnended > 0) {
            text += " (the last one had not ended when the recording did: it lasts until then)";
        }
        if (eventsInOutage > 0) {
            text += "\n  " + counted(eventsInOutage, "event", "events") +
                    " arrived while the connection was lost: played when the server is back";
        }
        text += options.keepNames ? "\n  cardholders' names and card numbers as they are (--keep-names)"
                                  : "\n  cardholders' names and card numbers replaced by pseudonyms";
        text += "\n  account: operator, password " + accountPassword + " (shown only now)\n  left out:";
        for (const std::string& omission : omissions) {
            text += "\n    " + omission;
        }
        printLine(text);
    }
    if (options.stats) {
        runStats(api, options);
    }
    return kDone;
}
