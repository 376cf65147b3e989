#include "DoorTestSupport.h"

#include <cstring>

std::vector<std::wstring> DoorTest::linesAt(int level) const {
    std::vector<std::wstring> texts;
    for (const LogLine& line : log.lines()) {
        if (line.level == level) {
            texts.push_back(line.text);
        }
    }
    return texts;
}

namespace testsite {

sim::SitePoint point(long id) {
    sim::SitePoint result;
    result.id = id;
    result.name = L"Punkt " + std::to_wstring(id) + L" \u00e4";
    result.state = 3000 + id % 20;
    result.stateType = id % 2;
    result.serverTime = 36526.0 + id / 86400.0;
    result.location = L"Ort " + std::to_wstring(id);
    result.description = L"Beschreibung " + std::to_wstring(id);
    return result;
}

sim::SiteDoorSet doorWithPoints(long number, long firstId) {
    sim::SiteDoorSet door;
    door.doorNumber = number;
    long* ids[] = {&door.reader1, &door.reader2, &door.doorFrame, &door.passback, &door.latch};
    for (long k = 0; k < 5; ++k) {
        *ids[k] = firstId + k;
        sim::addPoint(point(firstId + k));
    }
    return door;
}

sim::SiteDevice device(long id, const std::wstring& name, int doors, long firstPointId) {
    sim::SiteDevice result;
    result.id = id;
    result.name = name;
    for (int n = 1; n <= doors; ++n) {
        result.doorSets.push_back(doorWithPoints(n, firstPointId + 10 * (n - 1)));
    }
    return result;
}

}  // namespace testsite

bool isAllZero(const PointDefinition& definition) {
    static const PointDefinition zero{};
    return std::memcmp(&definition, &zero, sizeof zero) == 0;
}

::testing::AssertionResult holdsPoint(const PointDefinition& definition, long id) {
    if (id == 0) {
        return isAllZero(definition)
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "definition of point 0 is not all zero";
    }
    const sim::SitePoint want = testsite::point(id);
    const PointState& state = definition.state;
    const long long wantMs = 946684800000LL + id * 1000LL;
    if (definition.id != id || definition.name == nullptr || *want.name != definition.name ||
        state.state != want.state || state.stateType != want.stateType || state.serverTimeMs != wantMs ||
        state.location == nullptr || *want.location != state.location || state.description == nullptr ||
        *want.description != state.description) {
        return ::testing::AssertionFailure()
               << "definition does not hold point " << id << " (id " << definition.id << ", state "
               << state.state << ", time " << state.serverTimeMs << ")";
    }
    return ::testing::AssertionSuccess();
}
