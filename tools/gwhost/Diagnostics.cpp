#include "Diagnostics.h"

#include <io.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <utility>

#include <nlohmann/json.hpp>

#include "ExitCodes.h"
#include "Output.h"
#include "Text.h"

namespace {

// The value the self-test callback was given: it has no context of its own.
int g_selfTestValue = 0;

void SIPASSVORMEKGATEWAY_CALL onSelfTest(int value) {
    g_selfTestValue = value;
}

}  // namespace

int runPing(const GatewayApi& api, const Options& options) {
    const int answer = api.ping(41);
    if (options.json) {
        printJson({{"ping", 41}, {"answer", answer}, {"ok", answer == 42}});
    } else {
        printLine("gateway_Ping(41) = " + std::to_string(answer));
    }
    return answer == 42 ? kDone : kRefused;
}

int runVersion(const GatewayApi& api, const Options& options) {
    const std::string version = utf8(api.getVersion());
    if (options.json) {
        printJson({{"version", version}});
    } else {
        printLine("SiPassVormekGateway " + version);
    }
    return kDone;
}

int runStats(const GatewayApi& api, const Options& options) {
    GatewayStatistics s{};
    s.size = sizeof s;
    if (!api.getStatistics(&s)) {
        return fail(kRefused, "gateway_GetStatistics failed");
    }
    std::vector<std::pair<const char*, uint64_t>> fields = {
        {"accessEventsReceived", s.accessEventsReceived},
        {"objectStateEventsReceived", s.objectStateEventsReceived},
        {"genericEventsReceived", s.genericEventsReceived},
        {"accessEventsDelivered", s.accessEventsDelivered},
        {"objectStateEventsDelivered", s.objectStateEventsDelivered},
        {"genericEventsDelivered", s.genericEventsDelivered},
        {"eventsDroppedTooOld", s.eventsDroppedTooOld},
        {"eventsWithoutCallback", s.eventsWithoutCallback},
        {"eventsAbandonedAtGetter", s.eventsAbandonedAtGetter},
        {"malformedArrays", s.malformedArrays},
        {"hostCallbacksRaised", s.hostCallbacksRaised},
        {"logCallsRaised", s.logCallsRaised},
        {"connectionLosses", s.connectionLosses},
        {"reloginAttempts", s.reloginAttempts},
        {"reloginSuccesses", s.reloginSuccesses},
        {"lastEventReceivedMs", s.lastEventReceivedMs},
        {"lastLoginMs", s.lastLoginMs},
        {"loggedIn", s.loggedIn},
        {"longestHostCallbackUs", s.longestHostCallbackUs}};
    if (s.version >= 2) {
        // An older DLL (--dll) fills the first version only.
        fields.insert(fields.end(), {{"eventsQueued", s.eventsQueued},
                                     {"queueHighWater", s.queueHighWater},
                                     {"queueFullWaits", s.queueFullWaits},
                                     {"queueFullWaitUs", s.queueFullWaitUs},
                                     {"eventsDiscardedAtClose", s.eventsDiscardedAtClose},
                                     {"longestQueueWaitUs", s.longestQueueWaitUs},
                                     {"connectionCheckLosses", s.connectionCheckLosses},
                                     {"connectionCheckFailures", s.connectionCheckFailures}});
    }
    if (options.json) {
        nlohmann::ordered_json document = {{"version", s.version}};
        for (const auto& [name, value] : fields) {
            document[name] = value;
        }
        printJson({{"statistics", document}});
        return kDone;
    }
    std::string table = "gateway statistics (record version " + std::to_string(s.version) + ")";
    for (const auto& [name, value] : fields) {
        std::string line = "\n  " + std::string(name);
        line.append(line.size() < 30 ? 30 - line.size() : 1, ' ');
        line += std::to_string(value);
        const std::string field = name;
        if ((field == "lastEventReceivedMs" || field == "lastLoginMs") && value != 0) {
            line += "  (" + dateText(static_cast<int64_t>(value)) + ")";
        }
        table += line;
    }
    printLine(table);
    return kDone;
}

int runSelfTest(const GatewayApi& api, const Options& options) {
    // The self-test exports print fixed texts of their own on standard output; each result follows.
    // What the exports write to standard output is caught in a file and shown as one field, so that it
    // cannot break the lines (or the JSON) of the results.
    std::fflush(stdout);
    FILE* caught = std::tmpfile();
    const int savedOutput = _dup(_fileno(stdout));
    if (caught != nullptr) {
        _dup2(_fileno(caught), _fileno(stdout));
    }
    const int values[] = {1, 2, 3, 4};
    api.testRegisterCallback(&onSelfTest);
    g_selfTestValue = 0;
    api.testFireCallback();
    api.testRegisterCallback(nullptr);
    const struct {
        const char* name;
        long long result;
        long long expected;
    } results[] = {{"testCalculateSum(2, 3)", api.testCalculateSum(2, 3), 5},
                   {"testRegisterCallback + testFireCallback", g_selfTestValue, 22},
                   {"testSetIntArray({1, 2, 3, 4}, 4)", api.testSetIntArray(values, 4), 10},
                   {"testCountChars(\"gateway\")", api.testCountChars("gateway"), 7}};
    std::fflush(stdout);
    std::string exportOutput;
    if (caught != nullptr) {
        _dup2(savedOutput, _fileno(stdout));
        std::rewind(caught);
        for (int c = std::fgetc(caught); c != EOF; c = std::fgetc(caught)) {
            exportOutput.push_back(c == '\n' || c == '\r' ? ' ' : static_cast<char>(c));
        }
        std::fclose(caught);
    }
    if (savedOutput >= 0) {
        _close(savedOutput);
    }
    bool allPassed = true;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& result : results) {
        const bool passed = result.result == result.expected;
        allPassed = allPassed && passed;
        if (options.json) {
            list.push_back({{"test", result.name},
                            {"result", result.result},
                            {"expected", result.expected},
                            {"passed", passed}});
        } else {
            printLine(std::string(passed ? "pass  " : "FAIL  ") + result.name + " = " +
                      std::to_string(result.result) + " (expected " + std::to_string(result.expected) + ")");
        }
    }
    if (options.json) {
        printJson({{"selftest", list}, {"passed", allPassed}, {"exportOutput", exportOutput}});
    } else {
        printLine("output of the exports: " + exportOutput);
    }
    return allPassed ? kDone : kRefused;
}
