#include "SiteFile.h"

#include <nlohmann/json.hpp>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <iterator>
#include <set>
#include <cctype>
#include <optional>

namespace sim {
namespace {

std::atomic<unsigned long long> g_readDone{0};
std::atomic<unsigned long long> g_readTotal{0};

// The text as the parser walks it, publishing every 64 KiB how far it got: a host that loads a site of
// many megabytes shows that to the person waiting.
class ProgressIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    ProgressIterator(const char* at, const char* begin) : m_at(at), m_begin(begin) {}
    reference operator*() const { return *m_at; }
    ProgressIterator& operator++() {
        ++m_at;
        if (((m_at - m_begin) & 0xFFFF) == 0) {
            g_readDone.store(static_cast<unsigned long long>(m_at - m_begin), std::memory_order_relaxed);
        }
        return *this;
    }
    ProgressIterator operator++(int) {
        ProgressIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const ProgressIterator& other) const { return m_at == other.m_at; }
    bool operator!=(const ProgressIterator& other) const { return m_at != other.m_at; }

private:
    const char* m_at;
    const char* m_begin;
};

using nlohmann::json;

// Where each value of a (valid) JSON text begins, by JSON pointer ("/devices/0/name"). nlohmann keeps
// no positions, so this walks the text once more; it only has to cope with text the parser accepted.
class PositionIndex {
public:
    explicit PositionIndex(const std::string& text) : m_text(text) { value(""); }

    // The 1-based line of the value at `pointer`, or of its closest recorded parent.
    size_t lineOf(std::string pointer) const {
        for (;;) {
            const auto found = m_offsets.find(pointer);
            if (found != m_offsets.end()) {
                return 1 + std::count(m_text.begin(), m_text.begin() + found->second, '\n');
            }
            const size_t slash = pointer.rfind('/');
            if (slash == std::string::npos) {
                return 1;
            }
            pointer.erase(slash);
        }
    }

private:
    void skipSpace() {
        while (m_at < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_at]))) {
            ++m_at;
        }
    }
    std::string string() {  // at the opening quote; the raw text between the quotes
        const size_t start = ++m_at;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            m_at += m_text[m_at] == '\\' ? 2 : 1;
        }
        return m_text.substr(start, m_at++ - start);
    }
    void value(const std::string& pointer) {
        skipSpace();
        m_offsets[pointer] = m_at;
        if (m_at >= m_text.size()) {
            return;
        }
        const char c = m_text[m_at];
        if (c == '{') {
            ++m_at;
            for (;;) {
                skipSpace();
                if (m_at >= m_text.size() || m_text[m_at] == '}') {
                    ++m_at;
                    return;
                }
                if (m_text[m_at] == ',') {
                    ++m_at;
                    continue;
                }
                const std::string key = string();
                skipSpace();
                ++m_at;  // the colon
                value(pointer + "/" + key);
            }
        } else if (c == '[') {
            ++m_at;
            for (size_t index = 0;;) {
                skipSpace();
                if (m_at >= m_text.size() || m_text[m_at] == ']') {
                    ++m_at;
                    return;
                }
                if (m_text[m_at] == ',') {
                    ++m_at;
                    continue;
                }
                value(pointer + "/" + std::to_string(index++));
            }
        } else if (c == '"') {
            string();
        } else {
            while (m_at < m_text.size() && std::string(",]} \t\r\n").find(m_text[m_at]) == std::string::npos) {
                ++m_at;
            }
        }
    }

    const std::string& m_text;
    size_t m_at = 0;
    std::map<std::string, size_t> m_offsets;
};

// Watches the parser for a member given twice in one object, which nlohmann would otherwise let the later
// one win silently. Keeps the JSON pointer of the first such member.
class DuplicateMemberFinder {
public:
    bool operator()(int, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start:
                enterElement();
                m_frames.push_back(Frame{event == json::parse_event_t::object_start, {}, {}, 0, 0});
                break;
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                m_frames.pop_back();
                break;
            case json::parse_event_t::key: {
                Frame& frame = m_frames.back();
                frame.key = parsed.get<std::string>();
                if (!frame.keys.insert(frame.key).second && !m_duplicate) {
                    m_duplicate = pointer();
                    m_member = frame.key;
                }
                break;
            }
            case json::parse_event_t::value:
                enterElement();
                break;
        }
        return true;
    }

    const std::optional<std::string>& duplicate() const { return m_duplicate; }
    const std::string& member() const { return m_member; }

private:
    struct Frame {
        bool object;
        std::set<std::string> keys;  // of an object
        std::string key;             // of an object: the member being read
        size_t count;                // of an array: elements begun
        size_t index;                // of an array: the element being read
    };

    // A value, object or array begins: in an array it is the next element.
    void enterElement() {
        if (!m_frames.empty() && !m_frames.back().object) {
            m_frames.back().index = m_frames.back().count++;
        }
    }
    std::string pointer() const {
        std::string result;
        for (const Frame& frame : m_frames) {
            result += "/" + (frame.object ? frame.key : std::to_string(frame.index));
        }
        return result;
    }

    std::vector<Frame> m_frames;
    std::optional<std::string> m_duplicate;
    std::string m_member;
};

std::wstring wide(const std::string& text) {
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(size > 0 ? size : 0, L'\0');
    if (size > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    }
    return result;
}

// UTF-8 of a text, for messages.
std::string narrow(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                              nullptr, nullptr);
    }
    return result;
}

// Reads one site file's values, with the file name and the positions for messages.
class Reader {
public:
    Reader(const std::string& text, std::string fileName) : m_text(text), m_fileName(std::move(fileName)) {}

    // The positions are only worked out for a message: a large good file does not pay for them.
    [[noreturn]] void fail(const std::string& pointer, const std::string& what) const {
        const PositionIndex positions(m_text);
        throw SiteFileError(m_fileName + ":" + std::to_string(positions.lineOf(pointer)) + ": " +
                            (pointer.empty() ? "/" : pointer) + ": " + what);
    }

    // The members of an object, each of them known: a misspelt key is an error, not a silent default.
    const json& object(const json& value, const std::string& pointer,
                       std::initializer_list<const char*> known) {
        if (!value.is_object()) {
            fail(pointer, "must be an object");
        }
        for (const auto& [key, member] : value.items()) {
            if (std::none_of(known.begin(), known.end(), [&](const char* name) { return key == name; })) {
                fail(pointer + "/" + key, "unknown member \"" + key + "\"");
            }
        }
        return value;
    }

    const json& array(const json& parent, const std::string& pointer, const char* key) {
        static const json kEmpty = json::array();
        if (!parent.contains(key)) {
            return kEmpty;
        }
        const json& value = parent.at(key);
        if (!value.is_array()) {
            fail(pointer + "/" + key, "must be an array");
        }
        return value;
    }

    long integer(const json& parent, const std::string& pointer, const char* key,
                 std::optional<long> fallback) {
        const std::string at = pointer + "/" + key;
        if (!parent.contains(key)) {
            if (!fallback) {
                fail(pointer, std::string("\"") + key + "\" is missing");
            }
            return *fallback;
        }
        const json& value = parent.at(key);
        if (!value.is_number_integer() || value.get<long long>() < INT32_MIN ||
            value.get<long long>() > INT32_MAX) {
            fail(at, "must be a 32-bit integer");
        }
        return static_cast<long>(value.get<long long>());
    }

    std::optional<std::wstring> text(const json& parent, const std::string& pointer, const char* key) {
        if (!parent.contains(key) || parent.at(key).is_null()) {
            return std::nullopt;
        }
        if (!parent.at(key).is_string()) {
            fail(pointer + "/" + key, "must be a string");
        }
        return wide(parent.at(key).get<std::string>());
    }

    std::wstring requiredText(const json& parent, const std::string& pointer, const char* key) {
        auto value = text(parent, pointer, key);
        if (!value) {
            fail(pointer, std::string("\"") + key + "\" is missing");
        }
        return *value;
    }

    // "YYYY-MM-DD hh:mm:ss" (or with a T), local time, as an OLE automation date.
    DATE time(const json& parent, const std::string& pointer, const char* key, DATE fallback) {
        if (!parent.contains(key)) {
            return fallback;
        }
        const std::string at = pointer + "/" + key;
        if (!parent.at(key).is_string()) {
            fail(at, "must be a time \"YYYY-MM-DD hh:mm:ss\"");
        }
        const std::string value = parent.at(key).get<std::string>();
        SYSTEMTIME fields{};
        unsigned year, month, day, hour, minute, second;
        char separator = 0, end = 0;
        DATE date = 0;
        if (std::sscanf(value.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u%c", &year, &month, &day, &separator, &hour,
                        &minute, &second, &end) != 7 ||
            (separator != ' ' && separator != 'T') || month < 1 || month > 12 || day < 1 || day > 31 ||
            hour > 23 || minute > 59 || second > 59) {
            fail(at, "\"" + value + "\" is not a time \"YYYY-MM-DD hh:mm:ss\"");
        }
        fields.wYear = static_cast<WORD>(year);
        fields.wMonth = static_cast<WORD>(month);
        fields.wDay = static_cast<WORD>(day);
        fields.wHour = static_cast<WORD>(hour);
        fields.wMinute = static_cast<WORD>(minute);
        fields.wSecond = static_cast<WORD>(second);
        if (!::SystemTimeToVariantTime(&fields, &date)) {
            fail(at, "\"" + value + "\" is not a valid date");
        }
        return date;
    }

private:
    const std::string& m_text;
    std::string m_fileName;
};

void readPoints(Reader& r, const json& root, SiteDefinition& site) {
    const json& points = r.array(root, "", "points");
    const DATE now = localNow();
    for (size_t i = 0; i < points.size(); ++i) {
        const std::string at = "/points/" + std::to_string(i);
        const json& p = r.object(
            points[i], at, {"id", "name", "state", "stateType", "serverTime", "location", "description"});
        SitePoint point;
        point.id = r.integer(p, at, "id", std::nullopt);
        if (point.id == 0) {
            r.fail(at + "/id", "a point id must not be 0 (0 means \"no point\" in a door)");
        }
        if (site.site.points.count(point.id) > 0) {
            r.fail(at + "/id", "point " + std::to_string(point.id) + " is defined twice");
        }
        point.name = r.text(p, at, "name");
        point.state = r.integer(p, at, "state", 0);
        point.stateType = r.integer(p, at, "stateType", 0);
        if (point.stateType != 0 && point.stateType != 1) {
            r.fail(at + "/stateType", "must be 0 (normal) or 1 (alarm)");
        }
        point.serverTime = r.time(p, at, "serverTime", now);
        point.location = r.text(p, at, "location");
        point.description = r.text(p, at, "description");
        site.site.points[point.id] = point;
    }
}

void readDevices(Reader& r, const json& root, SiteDefinition& site) {
    const json& devices = r.array(root, "", "devices");
    std::set<long> deviceIds;
    // Where each point serves, so that a point has one role at one door.
    std::map<long, std::string> servesAt;
    for (size_t d = 0; d < devices.size(); ++d) {
        const std::string at = "/devices/" + std::to_string(d);
        const json& value = r.object(devices[d], at, {"id", "name", "doors"});
        SiteDevice device;
        device.id = r.integer(value, at, "id", std::nullopt);
        if (!deviceIds.insert(device.id).second) {
            r.fail(at + "/id", "device " + std::to_string(device.id) + " is defined twice");
        }
        device.name = r.text(value, at, "name");
        const json& doors = r.array(value, at, "doors");
        std::set<long> doorNumbers;
        for (size_t n = 0; n < doors.size(); ++n) {
            const std::string doorAt = at + "/doors/" + std::to_string(n);
            const json& door =
                r.object(doors[n], doorAt, {"door", "reader1", "reader2", "doorFrame", "passback", "latch"});
            SiteDoorSet doorSet;
            doorSet.doorNumber = r.integer(door, doorAt, "door", std::nullopt);
            if (!doorNumbers.insert(doorSet.doorNumber).second) {
                r.fail(doorAt + "/door", "door " + std::to_string(doorSet.doorNumber) + " is defined twice");
            }
            const std::pair<const char*, long SiteDoorSet::*> roles[] = {
                {"reader1", &SiteDoorSet::reader1},
                {"reader2", &SiteDoorSet::reader2},
                {"doorFrame", &SiteDoorSet::doorFrame},
                {"passback", &SiteDoorSet::passback},
                {"latch", &SiteDoorSet::latch}};
            for (const auto& [key, member] : roles) {
                const long id = r.integer(door, doorAt, key, 0);
                if (id != 0 && site.site.points.count(id) == 0) {
                    r.fail(doorAt + "/" + key, "point " + std::to_string(id) + " is not among the points");
                }
                if (id != 0) {
                    const auto [earlier, first] = servesAt.emplace(id, doorAt + "/" + key);
                    if (!first) {
                        r.fail(doorAt + "/" + key,
                               "point " + std::to_string(id) + " already serves at " + earlier->second);
                    }
                }
                doorSet.*member = id;
            }
            device.doorSets.push_back(doorSet);
        }
        site.site.devices.push_back(std::move(device));
    }
}

// The members of a timeline entry that describe an event, which an outage has none of.
constexpr const char* kEventMembers[] = {"eventId",     "type",      "subType",   "objectType",
                                         "objectId",    "state",     "stateType", "location",
                                         "description", "firstName", "lastName",  "cardNumber"};

// An outage of the timeline: the server is offline from start to end (milliseconds after the start).
struct Outage {
    long start;
    long end;
    size_t index;  // in "events"
};

// An outage entry becomes two steps of the timeline: offline at its delay (silently: without reports of the
// lost connections, with "silent": true), online again after its duration.
void readOutage(Reader& r, const json& e, const std::string& at, long delayMs, size_t index,
                std::vector<Outage>& outages, SiteDefinition& site) {
    for (const char* key : kEventMembers) {
        if (e.contains(key)) {
            r.fail(at + "/" + key, std::string("\"") + key + "\" does not apply to an outage");
        }
    }
    const long duration = r.integer(e, at, "durationMs", std::nullopt);
    if (duration <= 0) {
        r.fail(at + "/durationMs", "must be a positive number of milliseconds");
    }
    if (static_cast<long long>(delayMs) + duration > INT32_MAX) {
        r.fail(at + "/durationMs", "the outage must end within 2147483647 ms of the timeline's start");
    }
    bool silent = false;
    if (e.contains("silent")) {
        if (!e.at("silent").is_boolean()) {
            r.fail(at + "/silent", "must be true or false");
        }
        silent = e.at("silent").get<bool>();
    }
    outages.push_back(Outage{delayMs, delayMs + duration, index});
    TimedEvent offline;
    offline.delayMs = delayMs;
    offline.action = TimedEvent::Action::ServerOffline;
    offline.silent = silent;
    site.timeline.push_back(offline);
    TimedEvent online;
    online.delayMs = delayMs + duration;
    online.action = TimedEvent::Action::ServerOnline;
    site.timeline.push_back(online);
}

// Outages may follow each other, but not overlap: the server would come back while one still lasts.
void checkOutagesApart(Reader& r, std::vector<Outage> outages) {
    std::stable_sort(outages.begin(), outages.end(),
                     [](const Outage& a, const Outage& b) { return a.start < b.start; });
    for (size_t n = 1; n < outages.size(); ++n) {
        const Outage& earlier = outages[n - 1];
        const Outage& later = outages[n];
        if (later.start < earlier.end) {
            r.fail("/events/" + std::to_string(later.index) + "/delayMs",
                   "the outage overlaps the outage of /events/" + std::to_string(earlier.index) +
                       ", which lasts until " + std::to_string(earlier.end) + " ms");
        }
    }
}

void readEvents(Reader& r, const json& root, SiteDefinition& site) {
    const json& events = r.array(root, "", "events");
    std::vector<Outage> outages;
    for (size_t i = 0; i < events.size(); ++i) {
        const std::string at = "/events/" + std::to_string(i);
        const json& e = r.object(events[i], at,
                                 {"delayMs", "kind", "durationMs", "silent", "eventId", "type", "subType",
                                  "objectType", "objectId", "state", "stateType", "location", "description",
                                  "firstName", "lastName", "cardNumber"});
        TimedEvent timed;
        timed.delayMs = r.integer(e, at, "delayMs", std::nullopt);
        if (timed.delayMs < 0) {
            r.fail(at + "/delayMs", "must not be negative");
        }
        const std::wstring kind = r.requiredText(e, at, "kind");
        if (kind == L"outage") {
            readOutage(r, e, at, timed.delayMs, i, outages, site);
            continue;
        }
        if (e.contains("durationMs")) {
            r.fail(at + "/durationMs", "only an outage has a duration");
        }
        if (e.contains("silent")) {
            r.fail(at + "/silent", "only an outage can be silent");
        }
        EventObject& event = timed.event;
        long defaultType = 0;
        if (kind == L"state") {
            event.objectState = true;
            defaultType = 11;  // eObjState
        } else if (kind == L"access") {
            event.accessEvent = true;
            defaultType = 10;  // eAccessEvent
        } else if (kind == L"generic") {
            event.genericEvent = true;
            defaultType = 8;  // eGenericEvent
        } else {
            r.fail(at + "/kind", "must be \"state\", \"access\", \"generic\" or \"outage\"");
        }
        event.eventId = r.integer(e, at, "eventId", static_cast<long>(i + 1));
        event.type = r.integer(e, at, "type", defaultType);
        event.subType = r.integer(e, at, "subType", 0);
        event.objectType = r.integer(e, at, "objectType", kind == L"generic" ? 0 : 7);
        event.objectId = r.integer(e, at, "objectId", 0);
        event.state = r.integer(e, at, "state", 0);
        event.stateType = r.integer(e, at, "stateType", 0);
        event.location = r.text(e, at, "location");
        event.description = r.text(e, at, "description");
        event.firstName = r.text(e, at, "firstName");
        event.lastName = r.text(e, at, "lastName");
        event.cardNumber = r.text(e, at, "cardNumber");
        if (!event.location) {
            // The point's location, as the client fills it in for an event at a point.
            const auto point = site.site.points.find(event.objectId);
            event.location = point != site.site.points.end() ? point->second.location : std::nullopt;
            event.location = event.location.value_or(L"");
        }
        if (!event.description) {
            // Likewise the point's description, as events at a point carry it.
            const auto point = site.site.points.find(event.objectId);
            event.description = point != site.site.points.end() ? point->second.description : std::nullopt;
            event.description = event.description.value_or(L"");
        }
        site.timeline.push_back(std::move(timed));
    }
    checkOutagesApart(r, std::move(outages));
    // At the same delay the server comes back first, then events go out, then it goes offline: an outage
    // that ends as the next begins reports both, and an event at an outage's first or last millisecond is
    // delivered.
    std::stable_sort(site.timeline.begin(), site.timeline.end(),
                     [](const TimedEvent& a, const TimedEvent& b) {
                         return a.delayMs != b.delayMs ? a.delayMs < b.delayMs : a.action < b.action;
                     });
}

}  // namespace

SiteDefinition parseSiteText(const std::string& text, const std::string& fileName) {
    json root;
    DuplicateMemberFinder duplicates;
    try {
        const char* begin = text.data();
        root = json::parse(ProgressIterator(begin, begin), ProgressIterator(begin + text.size(), begin),
                           std::ref(duplicates));
    } catch (const json::parse_error& error) {
        // The parser names the byte; people read lines and columns.
        const size_t byte = std::min<size_t>(error.byte > 0 ? error.byte - 1 : 0, text.size());
        const size_t line = 1 + std::count(text.begin(), text.begin() + byte, '\n');
        const size_t lineStart = text.rfind('\n', byte == 0 ? 0 : byte - 1);
        const size_t column = byte - (lineStart == std::string::npos || byte == 0 ? 0 : lineStart + 1) + 1;
        std::string what = error.what();
        const size_t detail = what.find("syntax error");
        throw SiteFileError(fileName + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                            (detail != std::string::npos ? what.substr(detail) : "not valid JSON: " + what));
    }
    Reader r(text, fileName);
    if (duplicates.duplicate()) {
        r.fail(*duplicates.duplicate(), "member \"" + duplicates.member() + "\" is given twice");
    }
    r.object(root, "",
             {"name", "accounts", "objects", "devices", "points", "events", "clientsReconnect", "cardholders",
              "seed"});
    SiteDefinition site;
    if (root.contains("seed")) {
        const json& seed = root.at("seed");
        if (!seed.is_number_integer() || seed.get<long long>() < 0 || seed.get<long long>() > 0xFFFFFFFFll) {
            r.fail("/seed", "must be a whole number from 0 to 4294967295");
        }
        site.seed = static_cast<unsigned>(seed.get<long long>());
    }
    if (root.contains("clientsReconnect")) {
        if (!root.at("clientsReconnect").is_boolean()) {
            r.fail("/clientsReconnect", "must be true or false");
        }
        site.clientsReconnect = root.at("clientsReconnect").get<bool>();
    }
    const json& accounts = r.array(root, "", "accounts");
    for (size_t i = 0; i < accounts.size(); ++i) {
        const std::string at = "/accounts/" + std::to_string(i);
        const json& account = r.object(accounts[i], at, {"user", "password"});
        const std::wstring user = r.requiredText(account, at, "user");
        const std::wstring password = r.requiredText(account, at, "password");
        if (!site.accounts.emplace(user, password).second) {
            r.fail(at + "/user", "user \"" + narrow(user) + "\" is listed twice");
        }
    }
    const json& objects = r.array(root, "", "objects");
    std::vector<std::pair<long, long>> objectKeys;  // (type, id) in file order
    for (size_t i = 0; i < objects.size(); ++i) {
        const std::string at = "/objects/" + std::to_string(i);
        const json& object = r.object(objects[i], at, {"type", "id", "name"});
        const std::pair<long, long> key{r.integer(object, at, "type", std::nullopt),
                                        r.integer(object, at, "id", std::nullopt)};
        const std::wstring name = r.requiredText(object, at, "name");
        if (!site.objects.emplace(key, name).second) {
            r.fail(at, "object (" + std::to_string(key.first) + ", " + std::to_string(key.second) +
                           ") is listed twice");
        }
        objectKeys.push_back(key);
    }
    const json& cardholders = r.array(root, "", "cardholders");
    if (root.contains("cardholders")) {
        site.cardholders.emplace();
        std::set<std::wstring> cards;
        for (size_t i = 0; i < cardholders.size(); ++i) {
            const std::string at = "/cardholders/" + std::to_string(i);
            const json& value = r.object(cardholders[i], at, {"firstName", "lastName", "cardNumber"});
            detail::Cardholder person;
            person.firstName = r.text(value, at, "firstName");
            person.lastName = r.text(value, at, "lastName");
            person.cardNumber = r.requiredText(value, at, "cardNumber");
            if (!cards.insert(person.cardNumber).second) {
                r.fail(at + "/cardNumber", "card \"" + narrow(person.cardNumber) + "\" is listed twice");
            }
            site.cardholders->push_back(std::move(person));
        }
    }
    readPoints(r, root, site);
    readDevices(r, root, site);
    // GetByID finds the site's devices (type 6) and points (type 7) first: a named object of the same
    // type and id could never be found.
    for (size_t index = 0; index < objectKeys.size(); ++index) {
        const std::pair<long, long>& key = objectKeys[index];
        const bool device =
            key.first == 6 && std::any_of(site.site.devices.begin(), site.site.devices.end(),
                                          [&](const SiteDevice& d) { return d.id == key.second; });
        const bool point = key.first == 7 && site.site.points.count(key.second) > 0;
        if (device || point) {
            r.fail("/objects/" + std::to_string(index),
                   "object (" + std::to_string(key.first) + ", " + std::to_string(key.second) +
                       ") is hidden by " + (device ? "device " : "point ") + std::to_string(key.second) +
                       " of the site, which GetByID finds instead");
        }
    }
    readEvents(r, root, site);
    return site;
}

SiteDefinition readSiteFile(const std::wstring& path) {
    const std::string name = [&] {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string result(size > 1 ? size - 1 : 0, '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, result.data(), size, nullptr, nullptr);
        return result;
    }();
    FILE* file = ::_wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        throw SiteFileError(name + ": cannot open the site file");
    }
    std::string text;
    char buffer[65536];
    for (size_t read; (read = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, read);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        throw SiteFileError(name + ": cannot read the site file");
    }
    struct Reading {
        explicit Reading(size_t size) {
            g_readDone.store(0);
            g_readTotal.store(size);
        }
        ~Reading() {
            g_readTotal.store(0);
            g_readDone.store(0);
        }
    } reading(text.size());
    SiteDefinition site = parseSiteText(text, name);
    g_readDone.store(text.size());
    return site;
}

SiteReadProgress siteReadProgress() {
    SiteReadProgress progress;
    progress.total = g_readTotal.load();
    progress.done = progress.total == 0 ? 0 : std::min(g_readDone.load(), progress.total);
    return progress;
}

}  // namespace sim
