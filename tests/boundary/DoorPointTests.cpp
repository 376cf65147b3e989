// gateway_getPointState: a point's current state in the caller's record, the server time converted, and
// every failure leaving the record as it was.
#include <cstring>

#include "DoorTestSupport.h"

namespace {

constexpr long kPoint = 4711;

class PointStateTest : public DoorTest {
protected:
    void SetUp() override {
        DoorTest::SetUp();
        sim::addPoint(testsite::point(kPoint));
    }
    void TearDown() override {
        // Texts the gateway handed over are released as the host would release them.
        if (!isUntouched(state)) {
            library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
        }
        DoorTest::TearDown();
    }

    PointState state = untouchedState();
};

}  // namespace

TEST_F(PointStateTest, BeforeInitFailsAndLeavesTheRecord) {
    EXPECT_FALSE(library.getPointState(kPoint, &state));
    EXPECT_EQ(
        L"COMClient is NULL. Call init first and check if init returns true before getting door information.",
        log.texts().back());
    EXPECT_TRUE(isUntouched(state));
}

TEST_F(PointStateTest, RefusesANullRecord) {
    login();
    EXPECT_FALSE(library.getPointState(kPoint, nullptr));
    EXPECT_TRUE(linesMatch(log.texts(), {L"Pointer to pointState is NULL."}));
    EXPECT_EQ(1, log.lines()[0].level);
}

TEST_F(PointStateTest, ReadsEveryFieldOfTheStateObject) {
    login();
    ASSERT_TRUE(library.getPointState(kPoint, &state));
    EXPECT_TRUE(log.texts().empty());
    EXPECT_EQ(3011, state.state);
    EXPECT_EQ(1, state.stateType);
    EXPECT_EQ(946684800000LL + kPoint * 1000LL, state.serverTimeMs);
    EXPECT_STREQ(L"Ort 4711", state.location);
    EXPECT_STREQ(L"Beschreibung 4711", state.description);
    EXPECT_EQ(1, sim::callCount("IComClient::GetRelatives"));
}

struct ServerTimeCase {
    DATE serverTime;
    long long expectedMs;
};

class ServerTime : public PointStateTest, public ::testing::WithParamInterface<ServerTimeCase> {};

TEST_P(ServerTime, IsConvertedToWholeSecondsSince1970) {
    sim::SitePoint point = testsite::point(kPoint);
    point.serverTime = GetParam().serverTime;
    sim::addPoint(point);
    login();
    ASSERT_TRUE(library.getPointState(kPoint, &state));
    EXPECT_EQ(GetParam().expectedMs, state.serverTimeMs);
}

INSTANTIATE_TEST_SUITE_P(Examples, ServerTime,
                         ::testing::Values(ServerTimeCase{25569.0, 0},
                                           ServerTimeCase{25569.0 + 0.4 / 86400, 0},
                                           ServerTimeCase{25569.0 + 0.6 / 86400, 1000},
                                           ServerTimeCase{25569.0 - 1.0 / 86400, -1000},
                                           ServerTimeCase{36526.0, 946684800000LL}));

struct StateGetterCase {
    const char* method;
    const wchar_t* line;
};

class StateGetter : public PointStateTest, public ::testing::WithParamInterface<StateGetterCase> {};

TEST_P(StateGetter, FailingIsLoggedAndGivesItsDefault) {
    login();
    sim::failMethod(GetParam().method, E_FAIL);

    ASSERT_TRUE(library.getPointState(kPoint, &state));

    EXPECT_TRUE(linesMatch(log.texts(), {GetParam().line}));
    const std::string method = GetParam().method;
    EXPECT_EQ(method == "IObjectState::get_State" ? 0 : 3011, state.state);
    EXPECT_EQ(method == "IObjectState::get_StateType" ? 0 : 1, state.stateType);
    EXPECT_EQ(method == "IEventFields::get_ServerTime" ? 0 : 946684800000LL + kPoint * 1000LL,
              state.serverTimeMs);
    ASSERT_NE(nullptr, state.location);
    ASSERT_NE(nullptr, state.description);
    EXPECT_STREQ(method == "IEventFields::get_Location" ? L"" : L"Ort 4711", state.location);
    EXPECT_STREQ(method == "IEventFields::get_Description" ? L"" : L"Beschreibung 4711", state.description);
}

INSTANTIATE_TEST_SUITE_P(
    EachGetter, StateGetter,
    ::testing::Values(
        StateGetterCase{"IObjectState::get_State",
                        L"pObjState->get_State() for getPointState failed: hr=-2147467259"},
        StateGetterCase{"IObjectState::get_StateType",
                        L"pObjState->get_StateType() for getPointState failed: hr=-2147467259"},
        StateGetterCase{"IEventFields::get_ServerTime",
                        L"pObjState->get_ServerTime() for getPointState failed: hr=-2147467259"},
        StateGetterCase{"IEventFields::get_Location",
                        L"pObjState->get_Location() for getPointState failed: hr=-2147467259"},
        StateGetterCase{"IEventFields::get_Description",
                        L"pObjState->get_Description()for getPointState failed: hr=-2147467259"}));

struct RelativesCase {
    sim::ArrayForm arrayForm;
    sim::ElementForm elementForm;
    const wchar_t* line;
};

class Relatives : public PointStateTest, public ::testing::WithParamInterface<RelativesCase> {};

TEST_P(Relatives, WithoutAStateObjectFailAndLeaveTheRecord) {
    sim::SitePoint point = testsite::point(kPoint);
    point.relativesArray = GetParam().arrayForm;
    point.stateElement = GetParam().elementForm;
    sim::addPoint(point);
    login();

    EXPECT_FALSE(library.getPointState(kPoint, &state));

    EXPECT_TRUE(linesMatch(log.texts(), {GetParam().line}));
    EXPECT_EQ(1, log.lines()[0].level);
    EXPECT_TRUE(isUntouched(state));
}

INSTANTIATE_TEST_SUITE_P(
    EachShape, Relatives,
    ::testing::Values(RelativesCase{sim::ArrayForm::NullArray, sim::ElementForm::Object,
                                    L"saveArray is NULL for getPointState failed: hr=0"},
                      RelativesCase{sim::ArrayForm::Empty, sim::ElementForm::Object,
                                    L"saveArray is empty for getPointState failed: hr=0"},
                      RelativesCase{sim::ArrayForm::TwoDimensions, sim::ElementForm::Object,
                                    L"saveArray is no vector of VARIANTs for getPointState failed: hr=0"},
                      RelativesCase{sim::ArrayForm::UnknownElements, sim::ElementForm::Object,
                                    L"saveArray is no vector of VARIANTs for getPointState failed: hr=0"},
                      RelativesCase{sim::ArrayForm::Normal, sim::ElementForm::NullUnknown,
                                    L"pUnknown is NULL for getPointState failed: hr=0"},
                      RelativesCase{sim::ArrayForm::Normal, sim::ElementForm::Bstr,
                                    L"pUnknown is NULL for getPointState failed: hr=0"},
                      RelativesCase{sim::ArrayForm::Normal, sim::ElementForm::Empty,
                                    L"pUnknown is NULL for getPointState failed: hr=0"},
                      RelativesCase{sim::ArrayForm::Normal, sim::ElementForm::Foreign,
                                    L"pUnknown->QueryInterface() for getPointState failed: hr=-2147467262"},
                      RelativesCase{sim::ArrayForm::WithoutData, sim::ElementForm::Object,
                                    L"Exception in gateway_getPointState: structured exception 0xC0000005"}));

TEST_F(PointStateTest, AFailedGetRelativesLeavesTheRecord) {
    login();
    sim::failMethod("IComClient::GetRelatives", E_FAIL);
    EXPECT_FALSE(library.getPointState(kPoint, &state));
    EXPECT_TRUE(
        linesMatch(log.texts(), {L"m_ComClient->GetRelatives() for getPointState failed: hr=-2147467259"}));
    EXPECT_TRUE(isUntouched(state));
}

TEST_F(PointStateTest, AnArrayWithoutTheTypeFlagIsStillRead) {
    sim::SitePoint point = testsite::point(kPoint);
    point.relativesArray = sim::ArrayForm::WithoutVarType;
    sim::addPoint(point);
    login();
    ASSERT_TRUE(library.getPointState(kPoint, &state));
    EXPECT_EQ(3011, state.state);
}
