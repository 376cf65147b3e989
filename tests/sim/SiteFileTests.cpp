// Site files: a good file replaces the whole site and plays its timeline; every kind of mistake is
// reported with the file, the line and the JSON path, and leaves the site as it was.
#include "SimTestSupport.h"

#include <ocidl.h>

#include <cstdio>
#include <stdexcept>

namespace {

// A site file written to the temporary directory for one test and removed afterwards.
class TempSite {
public:
    explicit TempSite(const std::string& text) {
        wchar_t directory[MAX_PATH];
        wchar_t file[MAX_PATH];
        GetTempPathW(MAX_PATH, directory);
        GetTempFileNameW(directory, L"sit", 0, file);
        m_path = file;
        FILE* out = _wfopen(m_path.c_str(), L"wb");
        std::fwrite(text.data(), 1, text.size(), out);
        std::fclose(out);
    }
    ~TempSite() { DeleteFileW(m_path.c_str()); }
    const std::wstring& path() const { return m_path; }
    // The name as messages show it (the temporary path is ASCII).
    std::string name() const { return std::string(m_path.begin(), m_path.end()); }

private:
    std::wstring m_path;
};

// The message loadSiteFile throws for `text`, or "" when it loads.
std::string loadError(const std::string& text, std::string* fileName = nullptr) {
    TempSite site(text);
    if (fileName != nullptr) {
        *fileName = site.name();
    }
    try {
        sim::loadSiteFile(site.path());
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

std::wstring exampleSite(const wchar_t* name) {
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring path = program;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"..\\sites\\" + name;
}

// Records the EventID of every event object OnEvent delivers.
class EventIdSink final : public CountedSink {
public:
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override {
        forEachEventObject(events, [&](IUnknown* object) {
            ComPtr<IEventFields> fields;
            long id = -1;
            if (SUCCEEDED(object->QueryInterface(__uuidof(IObjectState), &fields)) ||
                SUCCEEDED(object->QueryInterface(__uuidof(IGenericEvent), &fields))) {
                fields->get_EventID(&id);
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ids.push_back(id);
        });
        m_changed.notify_all();
        return S_OK;
    }
    std::vector<long> waitForEvents(size_t count, unsigned timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_ids.size() >= count; });
        return m_ids;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<long> m_ids;  // guarded by m_mutex
};

// Records, in order, the states OnClientStateChanged reports ("state 0") and the EventIDs of the
// generic events OnEvent delivers ("event 2").
class TimelineSink final : public CountedSink {
public:
    ~TimelineSink() {
        EXPECT_TRUE(waitUntilReleased()) << "the simulator still holds a sink being destroyed";
    }

    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long state) override {
        record("state " + std::to_string(state));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override {
        forEachEventObject(events, [&](IUnknown* object) {
            ComPtr<IGenericEvent> generic;
            long id = -1;
            if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&generic)))) {
                generic->get_EventID(&id);
            }
            record("event " + std::to_string(id));
        });
        return S_OK;
    }

    std::vector<std::string> waitForLog(size_t count, unsigned timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_log.size() >= count; });
        return m_log;
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }

private:
    void record(std::string entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back(std::move(entry));
        m_changed.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_log;  // guarded by m_mutex
};

const char kSmallSite[] = R"({
  "accounts": [{"user": "guard", "password": "night"}],
  "objects": [{"type": 7, "id": 900, "name": "Panel"}],
  "points": [
    {"id": 11, "name": "Entry reader", "state": 2026, "location": "Entry", "description": "Reader"},
    {"id": 15, "name": "Entry latch", "state": 4001, "stateType": 1, "serverTime": "2025-01-06 08:00:00"}
  ],
  "devices": [{"id": 4, "name": "Entry controller", "doors": [{"door": 1, "reader1": 11, "latch": 15}]}],
  "events": [
    {"delayMs": 60, "kind": "generic", "eventId": 2, "subType": 6002},
    {"delayMs": 0, "kind": "state", "eventId": 1, "objectId": 15, "state": 3006, "stateType": 1}
  ]
})";

}  // namespace

TEST_F(SimTest, SiteFileReplacesAccountsDevicesAndPoints) {
    ASSERT_EQ("", loadError(kSmallSite));

    TestBstr guard(L"guard"), night(L"night"), operatorName(L"operator"), sipass(L"sipass");
    ComPtr<IComClient> client = createClient();
    EXPECT_NE(S_OK, client->Connect(operatorName.get(), sipass.get())) << "the default accounts are gone";
    ASSERT_EQ(S_OK, client->Connect(guard.get(), night.get()));

    const auto latch = sim::findPoint(15);
    ASSERT_TRUE(latch.has_value());
    EXPECT_EQ(L"Entry latch", latch->name.value_or(L""));
    EXPECT_EQ(4001, latch->state);
    EXPECT_EQ(1, latch->stateType);
    SYSTEMTIME time{};
    VariantTimeToSystemTime(latch->serverTime, &time);
    EXPECT_EQ(2025, time.wYear);
    EXPECT_EQ(8, time.wHour);
    EXPECT_FALSE(latch->location.has_value()) << "an absent text stays a null BSTR";
    EXPECT_FALSE(sim::findPoint(1011).has_value()) << "the default site's points are gone";

    ComPtr<IUnknown> device;
    EXPECT_EQ(S_OK, client->GetByID(6, 4, &device));
    ComPtr<IUnknown> panel;
    EXPECT_EQ(S_OK, client->GetByID(7, 900, &panel));
    client->Disconnect();
}

TEST_F(SimTest, SiteFileTimelinePlaysInDelayOrderAfterConnect) {
    ASSERT_EQ("", loadError(kSmallSite));
    ComPtr<IComClient> client = createClient();
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, client->QueryInterface(IID_PPV_ARGS(&container)));
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(__uuidof(_ICOMClientEvents), &point));
    EventIdSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));

    TestBstr guard(L"guard"), night(L"night");
    ASSERT_EQ(S_OK, client->Connect(guard.get(), night.get()));
    EXPECT_EQ((std::vector<long>{1, 2}), sink.waitForEvents(2, 5000));
    // The state event moved its point: a query after it agrees with it, at the time it was played.
    const auto latch = sim::findPoint(15);
    ASSERT_TRUE(latch.has_value());
    EXPECT_EQ(3006, latch->state);
    EXPECT_EQ(1, latch->stateType);
    SYSTEMTIME inFile{2025, 1, 1, 6, 8, 0, 0, 0};
    DATE inFileDate = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&inFile, &inFileDate));
    EXPECT_GT(latch->serverTime, inFileDate);
    EXPECT_LE(latch->serverTime, sim::localNow());

    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    client->Disconnect();
    point.Reset();
    container.Reset();
    client.Reset();
    sim::resetSite();  // stops the player before the sink goes
    EXPECT_EQ(0, sink.references());
}

// Entries in no particular order: a short outage, a second one that starts as the first ends and lasts
// until the timeline is stopped, an event during the first (not delivered) and one at the very end of it
// (delivered between the two).
const char kOutageSite[] = R"({
  "clientsReconnect": true,
  "accounts": [{"user": "guard", "password": "night"}],
  "events": [
    {"delayMs": 300, "kind": "outage", "durationMs": 600000},
    {"delayMs": 300, "kind": "generic", "eventId": 2},
    {"delayMs": 100, "kind": "generic", "eventId": 1},
    {"delayMs": 0, "kind": "outage", "durationMs": 300}
  ]
})";

TEST_F(SimTest, SiteFileTimelinePlaysOutagesAndEndsTheOneInForceWhenStopped) {
    ASSERT_EQ("", loadError(kOutageSite));
    ComPtr<IComClient> client = createClient();
    ComPtr<IComClient> other = createClient();
    ASSERT_TRUE(client && other);
    TimelineSink sink;
    {
        Advised advised(client.Get(), sink);
        TestBstr guard(L"guard"), night(L"night");
        ASSERT_EQ(S_OK, client->Connect(guard.get(), night.get()));

        EXPECT_EQ((std::vector<std::string>{"state 0", "state 1", "event 2", "state 0"}), sink.waitForLog(4));
        ASSERT_TRUE(sim::waitForServerState(false));
        EXPECT_EQ(sim::E_SIM_SERVER_OFFLINE, other->Connect(guard.get(), night.get()));
        long state = -1;
        EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
        EXPECT_EQ(0, state);

        // Loading another site stops the timeline, which ends its outage as the outage's end would have:
        // the server comes back and, under the file's option, the client logs in again.
        TempSite next(kSmallSite);
        sim::loadSiteFile(next.path());
        EXPECT_TRUE(sim::serverOnline());
        ASSERT_TRUE(sim::waitForServerState(true));
        EXPECT_EQ((std::vector<std::string>{"state 0", "state 1", "event 2", "state 0", "state 1"}),
                  sink.log());
        EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
        EXPECT_EQ(1, state);
        EXPECT_EQ(S_OK, other->Connect(guard.get(), night.get()));
    }
    client.Reset();
    other.Reset();
    sim::resetSite();
}

// A silent outage of the timeline: the client loses the server without a report, the event during it is
// not delivered, and its end is reported as any outage's.
const char kSilentOutageSite[] = R"({
  "clientsReconnect": true,
  "accounts": [{"user": "guard", "password": "night"}],
  "events": [
    {"delayMs": 0, "kind": "outage", "durationMs": 600, "silent": true},
    {"delayMs": 200, "kind": "generic", "eventId": 1},
    {"delayMs": 700, "kind": "generic", "eventId": 2}
  ]
})";

TEST_F(SimTest, SiteFileSilentOutageReportsOnlyItsEnd) {
    ASSERT_EQ("", loadError(kSilentOutageSite));
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);
    TimelineSink sink;
    {
        Advised advised(client.Get(), sink);
        TestBstr guard(L"guard"), night(L"night");
        ASSERT_EQ(S_OK, client->Connect(guard.get(), night.get()));
        ASSERT_TRUE(sim::waitForServerState(false));
        long state = -1;
        EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
        EXPECT_EQ(0, state);

        EXPECT_EQ((std::vector<std::string>{"state 1", "event 2"}), sink.waitForLog(2));
        EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
        EXPECT_EQ(1, state);
    }
    client.Reset();
    sim::resetSite();
}

TEST_F(SimTest, TheExampleSitesLoad) {
    for (const wchar_t* name : {L"office.json", L"campus.json"}) {
        SCOPED_TRACE(testing::Message() << "site " << std::string(name, name + wcslen(name)));
        EXPECT_NO_THROW(sim::loadSiteFile(exampleSite(name)));
    }
    // The campus: 40 devices of 100 doors, five points each.
    ComPtr<IComClient> client = connectedClient();
    ComPtr<IUnknown> lastLatch;
    EXPECT_EQ(S_OK, client->GetByID(7, 4001005, &lastLatch));
    client->Disconnect();
    lastLatch.Reset();
    client.Reset();
    sim::resetSite();  // stops the campus timeline before the leak check
}

// Each kind of mistake: the message names the file and the line, and says what is wrong.
TEST_F(SimTest, SiteFileErrorsNameFileLineAndProblem) {
    const struct {
        const char* text;
        const char* where;  // after "<file>:"
        const char* what;
    } cases[] = {
        {"{\n  \"points\": [\n    {\"id\": 1,}\n  ]\n}", "3:14: ", "syntax error"},
        {"{\"points\": [{\"id\": 1}]", "1:", "syntax error"},
        {"[1, 2]", "1: /: ", "must be an object"},
        {"{\n\"devices\": [\n {\"name\": \"no id\"}\n]}", "3: /devices/0: ", "\"id\" is missing"},
        {"{\n\"devices\": [\n {\"id\": \"7\"}\n]}", "3: /devices/0/id: ", "must be a 32-bit integer"},
        {"{\n\"devices\": [\n {\"id\": 4294967296}\n]}", "3: /devices/0/id: ", "must be a 32-bit integer"},
        {"{\n\"devices\": {}\n}", "2: /devices: ", "must be an array"},
        {"{\n\"points\": [\n {\"id\": 1,\n  \"sate\": 4000}\n]}",
         "4: /points/0/sate: ", "unknown member \"sate\""},
        {"{\n\"points\": [{\"id\": 1}, {\"id\": 1}]\n}", "2: /points/1/id: ", "defined twice"},
        {"{\"points\": [{\"id\": 1}],\n \"devices\": [{\"id\": 2, \"doors\": [\n  {\"door\": 1,\n   "
         "\"latch\": 5}]}]}",
         "4: /devices/0/doors/0/latch: ", "point 5 is not among the points"},
        {"{\n\"points\": [{\"id\": 1,\n \"serverTime\": \"2025-13-01 00:00:00\"}]}",
         "3: /points/0/serverTime: ", "is not a time"},
        {"{\n\"points\": [{\"id\": 1, \"stateType\": 2}]}", "2: /points/0/stateType: ", "must be 0"},
        {"{\n\"events\": [\n {\"delayMs\": 5,\n  \"kind\": \"alarm\"}]}",
         "4: /events/0/kind: ", "must be \"state\""},
        {"{\n\"events\": [\n {\"kind\": \"state\"}]}", "3: /events/0: ", "\"delayMs\" is missing"},
        {"{\n\"accounts\": [\n {\"user\": \"x\"}]}", "3: /accounts/0: ", "\"password\" is missing"},
        {"{\n\"clientsReconnect\": 1}", "2: /clientsReconnect: ", "must be true or false"},
        {"{\n\"events\": [\n {\"delayMs\": 5, \"kind\": \"outage\"}]}",
         "3: /events/0: ", "\"durationMs\" is missing"},
        {"{\n\"events\": [\n {\"delayMs\": 5, \"kind\": \"outage\",\n  \"durationMs\": -1}]}",
         "4: /events/0/durationMs: ", "must be a positive number"},
        {"{\n\"events\": [\n {\"delayMs\": 5, \"kind\": \"outage\",\n  \"durationMs\": 0}]}",
         "4: /events/0/durationMs: ", "must be a positive number"},
        {"{\n\"events\": [\n {\"delayMs\": 5, \"kind\": \"outage\", \"durationMs\": 9,\n  \"objectId\": 3}]}",
         "4: /events/0/objectId: ", "does not apply to an outage"},
        {"{\n\"events\": [\n {\"delayMs\": 5, \"kind\": \"state\",\n  \"durationMs\": 9}]}",
         "4: /events/0/durationMs: ", "only an outage has a duration"},
        {"{\n\"events\": [\n {\"delayMs\": 5, \"kind\": \"outage\", \"durationMs\": 9,\n  \"silent\": 1}]}",
         "4: /events/0/silent: ", "must be true or false"},
        {"{\n\"events\": [\n {\"delayMs\": 5, \"kind\": \"access\",\n  \"silent\": false}]}",
         "4: /events/0/silent: ", "only an outage can be silent"},
        {"{\"events\": [\n {\"delayMs\": 0, \"kind\": \"outage\", \"durationMs\": 100},\n {\"delayMs\": 99, "
         "\"kind\": \"outage\", \"durationMs\": 5}]}",
         "3: /events/1/delayMs: ", "the outage overlaps the outage of /events/0, which lasts until 100 ms"},
        {"{\"events\": [\n {\"delayMs\": 2147483000,\n \"kind\": \"outage\", \"durationMs\": 1000}]}",
         "3: /events/0/durationMs: ", "must end within"},
        // Whatever is given twice: the later one would silently win.
        {"{\"name\": \"a\",\n \"name\": \"b\"}", "2: /name: ", "member \"name\" is given twice"},
        {"{\"points\": [{\"id\": 1},\n {\"id\": 2,\n  \"id\": 3}]}",
         "3: /points/1/id: ", "member \"id\" is given twice"},
        {"{\"accounts\": [{\"user\": \"x\", \"password\": \"a\"},\n {\"user\": \"x\", \"password\": \"b\"}]}",
         "2: /accounts/1/user: ", "user \"x\" is listed twice"},
        {"{\"objects\": [{\"type\": 7, \"id\": 9, \"name\": \"a\"},\n {\"type\": 7, \"id\": 9, \"name\": "
         "\"b\"}]}",
         "2: /objects/1: ", "object (7, 9) is listed twice"},
        {"{\"objects\": [\n {\"type\": 7, \"id\": 1, \"name\": \"a\"}],\n \"points\": [{\"id\": 1}]}",
         "2: /objects/0: ", "object (7, 1) is hidden by point 1"},
        {"{\"points\": [{\"id\": 1}],\n \"devices\": [{\"id\": 2, \"doors\": [{\"door\": 1, \"reader1\": "
         "1},\n "
         "{\"door\": 2, \"latch\": 1}]}]}",
         "3: /devices/0/doors/1/latch: ", "point 1 already serves at /devices/0/doors/0/reader1"},
        {"{\"cardholders\": [{\"cardNumber\": \"17\"},\n {\"firstName\": \"B\", \"cardNumber\": \"17\"}]}",
         "2: /cardholders/1/cardNumber: ", "card \"17\" is listed twice"},
        {"{\"cardholders\": [\n {\"firstName\": \"A\"}]}",
         "2: /cardholders/0: ", "\"cardNumber\" is missing"},
        {"{\n\"seed\": -1}", "2: /seed: ", "must be a whole number from 0 to 4294967295"},
        {"{\n\"seed\": 4294967296}", "2: /seed: ", "must be a whole number from 0 to 4294967295"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string file;
        const std::string message = loadError(c.text, &file);
        EXPECT_EQ(0u, message.find(file + ":" + c.where)) << message;
        EXPECT_NE(std::string::npos, message.find(c.what)) << message;
        EXPECT_TRUE(sim::findPoint(1011).has_value()) << "a rejected file leaves the site as it was";
    }
}

TEST_F(SimTest, MissingSiteFileIsReportedByName) {
    try {
        sim::loadSiteFile(L"no-such-site.json");
        ADD_FAILURE() << "a missing file loaded";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ("no-such-site.json: cannot open the site file", std::string(error.what()));
    }
}

// The registered DLL checks the generator's settings when a client is created: a rate or seed that is no
// such number fails the creation instead of silently giving no events.
TEST_F(SimTest, AWrongEventRateOrSeedFailsTheCreationOfAClient) {
    const struct {
        const wchar_t* variable;
        const wchar_t* value;
        HRESULT created;
    } cases[] = {
        {L"SIPASS_SIM_EVENT_RATE", L"abc", E_FAIL}, {L"SIPASS_SIM_EVENT_RATE", L"-3", E_FAIL},
        {L"SIPASS_SIM_EVENT_RATE", L"2x", E_FAIL},  {L"SIPASS_SIM_EVENT_RATE", L"nan", E_FAIL},
        {L"SIPASS_SIM_EVENT_RATE", L"inf", E_FAIL}, {L"SIPASS_SIM_EVENT_RATE", L"0", S_OK},
        {L"SIPASS_SIM_EVENT_RATE", L"2.5", S_OK},   {L"SIPASS_SIM_EVENT_RATE", L"", S_OK},
        {L"SIPASS_SIM_SEED", L"-1", E_FAIL},        {L"SIPASS_SIM_SEED", L"4294967296", E_FAIL},
        {L"SIPASS_SIM_SEED", L"12a", E_FAIL},       {L"SIPASS_SIM_SEED", L"4294967295", S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.variable, c.variable + wcslen(c.variable)) << "="
                                        << std::string(c.value, c.value + wcslen(c.value)));
        _wputenv_s(c.variable, c.value);
        ComPtr<IComClient> client;
        EXPECT_EQ(c.created,
                  CoCreateInstance(CLSID_ComClient, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&client)));
        EXPECT_EQ(SUCCEEDED(c.created), client != nullptr);
        _wputenv_s(c.variable, L"");
    }
}

// The registered DLL reads SIPASS_SIM_SITE when a client is created; a wrong file fails the creation.
// The process environment counts, as a host sets it with SetEnvironmentVariableW (which the C runtime's
// copy never sees), and as the C runtime's _wputenv_s sets it.
TEST_F(SimTest, SiteFromTheEnvironmentIsLoadedWhenAClientIsCreated) {
    TempSite bad("{\"devices\": 1}");
    ASSERT_TRUE(::SetEnvironmentVariableW(L"SIPASS_SIM_SITE", bad.path().c_str()));
    ComPtr<IComClient> client;
    EXPECT_EQ(E_FAIL,
              CoCreateInstance(CLSID_ComClient, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&client)));
    EXPECT_EQ(nullptr, client.Get());

    TempSite good(kSmallSite);
    _wputenv_s(L"SIPASS_SIM_SITE", good.path().c_str());
    client = createClient();
    _wputenv_s(L"SIPASS_SIM_SITE", L"");
    EXPECT_TRUE(sim::findPoint(15).has_value());
    EXPECT_FALSE(sim::findPoint(1011).has_value());
}
