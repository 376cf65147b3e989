// Site files: a whole simulated site as JSON (accounts, named objects, devices with their door sets,
// points with names and states, and a timeline of scripted events). docs/site-format.md describes the
// format. The parser only builds values; SiteFileLoading.cpp puts them into the running simulator.
#pragma once

#include "SimControl.h"
#include "SiteModel.h"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// A site file that cannot be read or is wrong. what() names the file and the line and says what is
// wrong: "office.json:12: /devices/0/doors/1/latch: point 1099 is not among the points".
class SiteFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One step of the timeline, delayMs after the client that starts the timeline connected: a scripted
// event, or the server going offline or coming back (an outage of the file is two steps).
struct TimedEvent {
    enum class Action { ServerOnline, Event, ServerOffline };  // in the order of steps at the same delay
    long delayMs = 0;
    Action action = Action::Event;
    bool silent = false;  // for Action::ServerOffline: the clients lose their connection without a report
    EventObject event;    // for Action::Event
};

struct SiteDefinition {
    std::map<std::wstring, std::wstring> accounts;          // user -> password
    std::map<std::pair<long, long>, std::wstring> objects;  // (type, id) -> name
    detail::SiteModel site;
    std::optional<std::vector<detail::Cardholder>> cardholders;  // nullopt: the default site's
    std::optional<unsigned> seed;                                // of the event generator
    bool clientsReconnect = false;     // after an outage, see setClientsReconnectByThemselves
    std::vector<TimedEvent> timeline;  // ordered by delay, then by action
};

// Parses the text of a site file; `fileName` is only used in messages. Throws SiteFileError.
SiteDefinition parseSiteText(const std::string& text, const std::string& fileName);
// Reads and parses a file (UTF-8). Throws SiteFileError, also when the file cannot be read.
SiteDefinition readSiteFile(const std::wstring& path);

// How far readSiteFile is: the bytes of the file the parser has passed and the file's size; both 0 while
// no file is read. Any thread may ask, as often as it likes.
struct SiteReadProgress {
    unsigned long long done = 0;
    unsigned long long total = 0;
};
SiteReadProgress siteReadProgress();

}  // namespace sim
