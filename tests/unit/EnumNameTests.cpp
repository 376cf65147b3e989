#include <gtest/gtest.h>

#include "names/EnumNames.h"

namespace {

// Each member as the enumerations declare it: its own identifier as its name, null for a value that is no
// member. The compiler holds these lists to the declarations: a case that is no member does not compile,
// two cases of one value do not compile, and a member without a case is an error (-Wswitch).
#pragma GCC diagnostic push
#pragma GCC diagnostic error "-Wswitch"
#define MEMBER(member) \
    case member:       \
        return #member;

const char* declaredName(EStateType value) {
    switch (value) {
        MEMBER(eStateNormal)
        MEMBER(eStateAlarm)
    }
    return nullptr;
}

const char* declaredName(EObjType value) {
    switch (value) {
        MEMBER(eNoType)
        MEMBER(eAllObjects)
        MEMBER(eServer)
        MEMBER(eBus)
        MEMBER(eUnit)
        MEMBER(eFLN)
        MEMBER(eDevice)
        MEMBER(ePoint)
        MEMBER(eGenericEvent)
        MEMBER(eDBEvent)
        MEMBER(eAccessEvent)
        MEMBER(eObjState)
        MEMBER(eAlarm)
        MEMBER(eAlarmClass)
        MEMBER(eArea)
        MEMBER(eAreas)
        MEMBER(eFlag)
        MEMBER(eFlags)
        MEMBER(eCounter)
        MEMBER(eCounters)
        MEMBER(eTimer)
        MEMBER(eTimers)
        MEMBER(eAPBCluster)
        MEMBER(eAPBArea)
        MEMBER(eAPBAreas)
        MEMBER(eSubscriptionEvent)
    }
    return nullptr;
}

const char* declaredName(ESubType value) {
    switch (value) {
        MEMBER(eNoSubType)
        MEMBER(eGeneric)
        MEMBER(eACCBus)
        MEMBER(eDialupBus)
        MEMBER(eCerPassBus)
        MEMBER(eACCUnit)
        MEMBER(eCCZ3124)
        MEMBER(eCCZ3128)
        MEMBER(eCCZ3134)
        MEMBER(eCCZ3138)
        MEMBER(eCCZ3330)
        MEMBER(eACCUnit_4)
        MEMBER(eACCUnit_8)
        MEMBER(eACCUnit_16)
        MEMBER(eACCUnit_32)
        MEMBER(eACCUnit_Lite)
        MEMBER(eACCUnit_G2)
        MEMBER(eACCUnit_Granta)
        MEMBER(eACCFLN)
        MEMBER(eNTFLN)
        MEMBER(eCerPassFLN)
        MEMBER(eEntroFLN)
        MEMBER(eGrantaFLN)
        MEMBER(eSRI)
        MEMBER(eDRI)
        MEMBER(eERI)
        MEMBER(eOPM)
        MEMBER(eIPM)
        MEMBER(eSMI)
        MEMBER(e8IO)
        MEMBER(eCX8)
        MEMBER(eCX23)
        MEMBER(eNT8)
        MEMBER(eNT8LC)
        MEMBER(eNT161)
        MEMBER(eNT182)
        MEMBER(eNT190)
        MEMBER(eDC12)
        MEMBER(eDC22)
        MEMBER(eGrantaCotag)
        MEMBER(eGrantaSwipe)
        MEMBER(eGrantaIO)
        MEMBER(eGrantaBackboard)
        MEMBER(eIAT)
        MEMBER(eInputPoint)
        MEMBER(eOutputPoint)
        MEMBER(eAccessPoint)
        MEMBER(eDBCreate)
        MEMBER(eDBModify)
        MEMBER(eDBDelete)
        MEMBER(eBusStatus)
        MEMBER(eUnitStatus)
        MEMBER(eDeviceStatus)
        MEMBER(eInputPointState)
        MEMBER(eOutputPointState)
        MEMBER(eAccessPointState)
        MEMBER(eIntrusionArea)
        MEMBER(eSintonyIntrusionArea)
        MEMBER(eSPCIntrusionArea)
        MEMBER(eHardAntiPassbackArea)
        MEMBER(eSoftAntiPassbackArea)
        MEMBER(eFailSoftAntiPassbackArea)
        MEMBER(eTimedReEntryArea)
        MEMBER(eNoAntiPassbackArea)
    }
    return nullptr;
}

const char* declaredName(EObjState value) {
    switch (value) {
        MEMBER(eNoState)
        MEMBER(eStateUnknown)
        MEMBER(eCommsLost)
        MEMBER(eCommsBack)
        MEMBER(eDailyCode)
        MEMBER(eLowBattery)
        MEMBER(eGoodAccess)
        MEMBER(eDuress)
        MEMBER(eSoftAPMode)
        MEMBER(eHardAPMode)
        MEMBER(eCardAtDisabled)
        MEMBER(eGroupError)
        MEMBER(eVoidCard)
        MEMBER(eInvalidFacility)
        MEMBER(eCardLimit)
        MEMBER(eInvalidPIN)
        MEMBER(eBadDailyCode)
        MEMBER(eAccessToAPArea)
        MEMBER(eIndependentService)
        MEMBER(eElevatorAlarm)
        MEMBER(eCardAPAreaOn)
        MEMBER(eCardAPAreaOff)
        MEMBER(eCardActFloor)
        MEMBER(eCardNotActFloor)
        MEMBER(eDoorTSActive)
        MEMBER(eDoorFree)
        MEMBER(eDoorSecured)
        MEMBER(eTamperActive)
        MEMBER(eTamperInactive)
        MEMBER(eReaderOffline)
        MEMBER(eReaderOnline)
        MEMBER(eChecksumError)
        MEMBER(eReaderTimeout)
        MEMBER(eBadgeCollision)
        MEMBER(eAccessGranted)
        MEMBER(eAccessNotGranted)
        MEMBER(eDoorLocked)
        MEMBER(eDoorUnlocked)
        MEMBER(eReentryError)
        MEMBER(eHardAPError)
        MEMBER(eSoftAPError)
        MEMBER(eNotYetActive)
        MEMBER(eCardExpired)
        MEMBER(eTSViolation)
        MEMBER(eAccessDenied)
        MEMBER(eInputPassback)
        MEMBER(ePointNormal)
        MEMBER(ePointAlarm)
        MEMBER(ePointTamper)
        MEMBER(eDoorClosed)
        MEMBER(eDoorHeld)
        MEMBER(eDoorForced)
        MEMBER(eFireOverrideOff)
        MEMBER(eFireOverrideOn)
        MEMBER(eBatteryOK)
        MEMBER(eBatteryFailed)
        MEMBER(eBatteryLow)
        MEMBER(eACPowerBack)
        MEMBER(eACPowerFailed)
        MEMBER(eInputTamper)
        MEMBER(eInputClosed)
        MEMBER(eInputOpen)
        MEMBER(eCardLimitReached)
        MEMBER(ePassbackTamper)
        MEMBER(eInputDisabled)
        MEMBER(eInputEnabled)
        MEMBER(eInputFaulty)
        MEMBER(ePhysicallyDisabled)
        MEMBER(ePhysicallyEnabled)
        MEMBER(eFaultCleared)
        MEMBER(eLocked)
        MEMBER(eUnlocked)
        MEMBER(eUnitCommsLost)
        MEMBER(eUnitCommsBack)
        MEMBER(eUnitReset)
        MEMBER(eUnitTamperActive)
        MEMBER(eUnitTamperInactive)
        MEMBER(eMemoryFull)
        MEMBER(ePowerLost)
        MEMBER(ePowerBack)
        MEMBER(eMemoryWarning)
        MEMBER(eMemoryOverflow)
        MEMBER(eBusAlive)
        MEMBER(eBusDown)
        MEMBER(eIntrusionAreaArmed)
        MEMBER(eIntrusionAreaDisarmed)
        MEMBER(eIntrusionAreaAlarm)
        MEMBER(eIntrusionAreaPartArmed)
        MEMBER(eIntrusionAreaPartBArmed)
    }
    return nullptr;
}

#undef MEMBER
#pragma GCC diagnostic pop

// Every value of [first, last] has the name its declaration gives it, and a value that is no member the
// name of an unknown one.
template <class E>
void expectTheDeclaredNames(long first, long last, const char* unknown) {
    for (long value = first; value <= last; ++value) {
        const char* declared = declaredName(static_cast<E>(value));
        ASSERT_EQ(declared != nullptr ? declared : unknown, enumName(static_cast<E>(value))) << value;
    }
}

}  // namespace

TEST(EnumNames, EveryEnumerationHasExactlyItsMembers) {
    expectTheDeclaredNames<EStateType>(-10, 10000, "Unknown value of EStateType");
    expectTheDeclaredNames<EObjType>(-10, 10000, "Unknown value of EObjType");
    expectTheDeclaredNames<ESubType>(-10, 10000, "Unknown value of ESubType");
    expectTheDeclaredNames<EObjState>(-10, 10000, "Unknown value of EObjState");
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
