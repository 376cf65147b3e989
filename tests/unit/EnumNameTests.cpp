#include <gtest/gtest.h>

#include "names/EnumNames.h"

namespace {

// How many values of [first, last] have a name.
template <class E>
int namedValues(long first, long last, const char* unknown) {
    int count = 0;
    for (long value = first; value <= last; ++value) {
        if (enumName(static_cast<E>(value)) != unknown) {
            ++count;
        }
    }
    return count;
}

}  // namespace

TEST(EnumNames, EveryEnumerationHasExactlyItsMembers) {
    EXPECT_EQ(2, namedValues<EStateType>(-10, 10000, "Unknown value of EStateType"));
    EXPECT_EQ(26, namedValues<EObjType>(-10, 10000, "Unknown value of EObjType"));
    EXPECT_EQ(64, namedValues<ESubType>(-10, 10000, "Unknown value of ESubType"));
    EXPECT_EQ(89, namedValues<EObjState>(-10, 10000, "Unknown value of EObjState"));
}

TEST(EnumNames, RunsStartAndEndWhereTheSystemHasThem) {
    EXPECT_EQ("eNoType", enumName(EObjType(0)));
    EXPECT_EQ("eSubscriptionEvent", enumName(EObjType(25)));
    EXPECT_EQ("Unknown value of EObjType", enumName(EObjType(26)));
    EXPECT_EQ("Unknown value of EObjType", enumName(EObjType(-1)));

    EXPECT_EQ("eACCBus", enumName(ESubType(1001)));
    EXPECT_EQ("Unknown value of ESubType", enumName(ESubType(1000)));
    EXPECT_EQ("eACCUnit_Granta", enumName(ESubType(2013)));
    EXPECT_EQ("e8IO", enumName(ESubType(4007)));
    EXPECT_EQ("eIAT", enumName(ESubType(4021)));
    EXPECT_EQ("eHardAntiPassbackArea", enumName(ESubType(9000)));
    EXPECT_EQ("eNoAntiPassbackArea", enumName(ESubType(9004)));
    EXPECT_EQ("Unknown value of ESubType", enumName(ESubType(9005)));

    EXPECT_EQ("eDailyCode", enumName(EObjState(2000)));
    EXPECT_EQ("Unknown value of EObjState", enumName(EObjState(1999)));
    EXPECT_EQ("eAccessGranted", enumName(EObjState(2030)));
    EXPECT_EQ("eAccessDenied", enumName(EObjState(2040)));
    EXPECT_EQ("Unknown value of EObjState", enumName(EObjState(2041)));
    EXPECT_EQ("eInputPassback", enumName(EObjState(3000)));
    EXPECT_EQ("ePointAlarm", enumName(EObjState(3002)));
    EXPECT_EQ("eDoorForced", enumName(EObjState(3006)));
    EXPECT_EQ("eFaultCleared", enumName(EObjState(3024)));
    EXPECT_EQ("eUnitCommsLost", enumName(EObjState(5000)));
    EXPECT_EQ("eIntrusionAreaPartBArmed", enumName(EObjState(7004)));

    EXPECT_EQ("eStateNormal", enumName(EStateType(0)));
    EXPECT_EQ("eStateAlarm", enumName(EStateType(1)));
    EXPECT_EQ("Unknown value of EStateType", enumName(EStateType(2)));
}
