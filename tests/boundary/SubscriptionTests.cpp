// gateway_RegisterEvent: checks in order, the object looked up on the server, the registration logged.
#include "EventFixture.h"

namespace {

const std::wstring kMakesNoSense =
    L"RegisterAlarmEvent makes no sense without a AlarmStateCallback or AlarmAccessCallback. Set "
    L"AlarmStateCallback/AlarmAccessCallback first.";
const std::wstring kNoClient =
    L"COMClient is NULL. Call init first and check if init returns true before register for Alarm Events.";

void SIPASSVORMEKGATEWAY_CALL anyGeneric(int32_t, int32_t, int32_t, int64_t, int64_t, const wchar_t*,
                                         const wchar_t*) {}

}  // namespace

using Subscriptions = BoundaryTest;

TEST_F(Subscriptions, NeedAStateOrAccessCallbackFirstThenAClient) {
    EXPECT_FALSE(library.RegisterEvent(6, 1, 3006));
    EXPECT_TRUE(linesMatch(log.texts(), {L"Constructor called", L"CoInitialize S_FALSE", kMakesNoSense}));

    library.RegisterGenericEventCallback(&anyGeneric);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    log.clear();
    EXPECT_FALSE(library.RegisterEvent(6, 1, 3006)) << "a generic callback does not count";
    EXPECT_TRUE(linesMatch(log.texts(), {kMakesNoSense}));

    library.Close();
    library.RegisterAlarmAccessCallback(&recordAccess);
    log.clear();
    EXPECT_FALSE(library.RegisterEvent(6, 1, 3006));
    EXPECT_TRUE(linesMatch(log.texts(), {kNoClient}));
}

using RegisteredSubscriptions = EventTest;

TEST_F(RegisteredSubscriptions, LogTheObjectNameForEachRegistrationOfAKnownObject) {
    EXPECT_TRUE(library.RegisterEvent(6, 2, 3006));
    EXPECT_TRUE(library.RegisterEvent(6, 2, 3006));
    const std::wstring line = L"Register for event of device: T\u00FCr S\u00FCd with ID: 2";
    EXPECT_TRUE(linesMatch(log.texts(), {line, line}));
    EXPECT_EQ(Info, log.lines()[0].level);
}

TEST_F(RegisteredSubscriptions, RefuseAnObjectTheServerDoesNotKnow) {
    EXPECT_FALSE(library.RegisterEvent(6, 999, 3006));
    EXPECT_TRUE(
        linesMatch(log.texts(), {L"Find no object with this id and type. Please check ObjectID and Type"}));
}

struct SubscriptionFault {
    const char* name;
    const char* method;
    bool raise;
    bool result;
    std::vector<std::wstring> lines;
};

std::ostream& operator<<(std::ostream& os, const SubscriptionFault& fault) {
    return os << fault.name;
}

class SubscriptionClientFault : public EventTest, public ::testing::WithParamInterface<SubscriptionFault> {};

TEST_P(SubscriptionClientFault, EndsWithItsLine) {
    const SubscriptionFault& fault = GetParam();
    if (fault.raise) {
        sim::raiseInMethod(fault.method, sim::Raise::AccessViolation);
    } else {
        sim::failMethod(fault.method, E_FAIL);
    }
    EXPECT_EQ(fault.result, library.RegisterEvent(6, 1, 3006));
    EXPECT_TRUE(linesMatch(log.texts(), fault.lines));
    sim::clearFaults();
    // The gateway mutex was released on the way out.
    library.RegisterAlarmStateCallback(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SubscriptionClientFault,
    ::testing::Values(
        SubscriptionFault{"GetByIDFails",
                          "IComClient::GetByID",
                          false,
                          false,
                          {L"Find no object with this id and type. Please check ObjectID and Type"}},
        SubscriptionFault{"GetByIDRaises", "IComClient::GetByID", true, false, {L"GetByID Exception"}},
        SubscriptionFault{"NoGeneric",
                          "IUnknown::QueryInterface(IGeneric)",
                          false,
                          false,
                          {L"Can't get the IGeneric interface for this objectID"}},
        SubscriptionFault{"QueryRaises",
                          "IUnknown::QueryInterface(IGeneric)",
                          true,
                          false,
                          {L"QueryInterface Exception genericObject"}},
        SubscriptionFault{
            "NameFails", "IGeneric::get_name", false, false, {L"Can't get name of this object"}},
        SubscriptionFault{"NameRaises",
                          "IGeneric::get_name",
                          true,
                          true,
                          {L"get_name Exception", L"Register for event of device:  with ID: 1"}}),
    [](const auto& info) { return std::string(info.param.name); });
