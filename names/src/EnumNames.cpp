#include "names/EnumNames.h"

#include <algorithm>
#include <iterator>

namespace {

struct NamedValue {
    long value;
    const char* name;
};

// Sorted by value, searched by value.
constexpr NamedValue kStateTypes[] = {
    {0, "eStateNormal"},
    {1, "eStateAlarm"},
};

constexpr NamedValue kObjTypes[] = {
    {0, "eNoType"},       {1, "eAllObjects"},
    {2, "eServer"},       {3, "eBus"},
    {4, "eUnit"},         {5, "eFLN"},
    {6, "eDevice"},       {7, "ePoint"},
    {8, "eGenericEvent"}, {9, "eDBEvent"},
    {10, "eAccessEvent"}, {11, "eObjState"},
    {12, "eAlarm"},       {13, "eAlarmClass"},
    {14, "eArea"},        {15, "eAreas"},
    {16, "eFlag"},        {17, "eFlags"},
    {18, "eCounter"},     {19, "eCounters"},
    {20, "eTimer"},       {21, "eTimers"},
    {22, "eAPBCluster"},  {23, "eAPBArea"},
    {24, "eAPBAreas"},    {25, "eSubscriptionEvent"},
};

constexpr NamedValue kSubTypes[] = {
    {0, "eNoSubType"},
    {1, "eGeneric"},
    {1001, "eACCBus"},
    {1002, "eDialupBus"},
    {1003, "eCerPassBus"},
    {2001, "eACCUnit"},
    {2002, "eCCZ3124"},
    {2003, "eCCZ3128"},
    {2004, "eCCZ3134"},
    {2005, "eCCZ3138"},
    {2006, "eCCZ3330"},
    {2007, "eACCUnit_4"},
    {2008, "eACCUnit_8"},
    {2009, "eACCUnit_16"},
    {2010, "eACCUnit_32"},
    {2011, "eACCUnit_Lite"},
    {2012, "eACCUnit_G2"},
    {2013, "eACCUnit_Granta"},
    {3001, "eACCFLN"},
    {3002, "eNTFLN"},
    {3003, "eCerPassFLN"},
    {3004, "eEntroFLN"},
    {3005, "eGrantaFLN"},
    {4001, "eSRI"},
    {4002, "eDRI"},
    {4003, "eERI"},
    {4004, "eOPM"},
    {4005, "eIPM"},
    {4006, "eSMI"},
    {4007, "e8IO"},
    {4008, "eCX8"},
    {4009, "eCX23"},
    {4010, "eNT8"},
    {4011, "eNT8LC"},
    {4012, "eNT161"},
    {4013, "eNT182"},
    {4014, "eNT190"},
    {4015, "eDC12"},
    {4016, "eDC22"},
    {4017, "eGrantaCotag"},
    {4018, "eGrantaSwipe"},
    {4019, "eGrantaIO"},
    {4020, "eGrantaBackboard"},
    {4021, "eIAT"},
    {5001, "eInputPoint"},
    {5002, "eOutputPoint"},
    {5003, "eAccessPoint"},
    {6001, "eDBCreate"},
    {6002, "eDBModify"},
    {6003, "eDBDelete"},
    {7001, "eBusStatus"},
    {7002, "eUnitStatus"},
    {7003, "eDeviceStatus"},
    {7004, "eInputPointState"},
    {7005, "eOutputPointState"},
    {7006, "eAccessPointState"},
    {8001, "eIntrusionArea"},
    {8002, "eSintonyIntrusionArea"},
    {8003, "eSPCIntrusionArea"},
    {9000, "eHardAntiPassbackArea"},
    {9001, "eSoftAntiPassbackArea"},
    {9002, "eFailSoftAntiPassbackArea"},
    {9003, "eTimedReEntryArea"},
    {9004, "eNoAntiPassbackArea"},
};

constexpr NamedValue kObjStates[] = {
    {0, "eNoState"},
    {1, "eStateUnknown"},
    {1000, "eCommsLost"},
    {1001, "eCommsBack"},
    {2000, "eDailyCode"},
    {2001, "eLowBattery"},
    {2002, "eGoodAccess"},
    {2003, "eDuress"},
    {2004, "eSoftAPMode"},
    {2005, "eHardAPMode"},
    {2006, "eCardAtDisabled"},
    {2007, "eGroupError"},
    {2008, "eVoidCard"},
    {2009, "eInvalidFacility"},
    {2010, "eCardLimit"},
    {2011, "eInvalidPIN"},
    {2012, "eBadDailyCode"},
    {2013, "eAccessToAPArea"},
    {2014, "eIndependentService"},
    {2015, "eElevatorAlarm"},
    {2016, "eCardAPAreaOn"},
    {2017, "eCardAPAreaOff"},
    {2018, "eCardActFloor"},
    {2019, "eCardNotActFloor"},
    {2020, "eDoorTSActive"},
    {2021, "eDoorFree"},
    {2022, "eDoorSecured"},
    {2023, "eTamperActive"},
    {2024, "eTamperInactive"},
    {2025, "eReaderOffline"},
    {2026, "eReaderOnline"},
    {2027, "eChecksumError"},
    {2028, "eReaderTimeout"},
    {2029, "eBadgeCollision"},
    {2030, "eAccessGranted"},
    {2031, "eAccessNotGranted"},
    {2032, "eDoorLocked"},
    {2033, "eDoorUnlocked"},
    {2034, "eReentryError"},
    {2035, "eHardAPError"},
    {2036, "eSoftAPError"},
    {2037, "eNotYetActive"},
    {2038, "eCardExpired"},
    {2039, "eTSViolation"},
    {2040, "eAccessDenied"},
    {3000, "eInputPassback"},
    {3001, "ePointNormal"},
    {3002, "ePointAlarm"},
    {3003, "ePointTamper"},
    {3004, "eDoorClosed"},
    {3005, "eDoorHeld"},
    {3006, "eDoorForced"},
    {3007, "eFireOverrideOff"},
    {3008, "eFireOverrideOn"},
    {3009, "eBatteryOK"},
    {3010, "eBatteryFailed"},
    {3011, "eBatteryLow"},
    {3012, "eACPowerBack"},
    {3013, "eACPowerFailed"},
    {3014, "eInputTamper"},
    {3015, "eInputClosed"},
    {3016, "eInputOpen"},
    {3017, "eCardLimitReached"},
    {3018, "ePassbackTamper"},
    {3019, "eInputDisabled"},
    {3020, "eInputEnabled"},
    {3021, "eInputFaulty"},
    {3022, "ePhysicallyDisabled"},
    {3023, "ePhysicallyEnabled"},
    {3024, "eFaultCleared"},
    {4000, "eLocked"},
    {4001, "eUnlocked"},
    {5000, "eUnitCommsLost"},
    {5001, "eUnitCommsBack"},
    {5002, "eUnitReset"},
    {5003, "eUnitTamperActive"},
    {5004, "eUnitTamperInactive"},
    {5005, "eMemoryFull"},
    {5006, "ePowerLost"},
    {5007, "ePowerBack"},
    {5008, "eMemoryWarning"},
    {5009, "eMemoryOverflow"},
    {6000, "eBusAlive"},
    {6001, "eBusDown"},
    {7000, "eIntrusionAreaArmed"},
    {7001, "eIntrusionAreaDisarmed"},
    {7002, "eIntrusionAreaAlarm"},
    {7003, "eIntrusionAreaPartArmed"},
    {7004, "eIntrusionAreaPartBArmed"},
};

template <size_t N>
const char* lookUp(const NamedValue (&table)[N], long value, const char* unknown) {
    const NamedValue* end = table + N;
    const NamedValue* found =
        std::lower_bound(table, end, value, [](const NamedValue& entry, long v) { return entry.value < v; });
    return found != end && found->value == value ? found->name : unknown;
}

}  // namespace

const char* enumNameText(EObjType value) {
    return lookUp(kObjTypes, value, "Unknown value of EObjType");
}
const char* enumNameText(ESubType value) {
    return lookUp(kSubTypes, value, "Unknown value of ESubType");
}
const char* enumNameText(EObjState value) {
    return lookUp(kObjStates, value, "Unknown value of EObjState");
}
const char* enumNameText(EStateType value) {
    return lookUp(kStateTypes, value, "Unknown value of EStateType");
}

std::string enumName(EObjType value) {
    return enumNameText(value);
}
std::string enumName(ESubType value) {
    return enumNameText(value);
}
std::string enumName(EObjState value) {
    return enumNameText(value);
}
std::string enumName(EStateType value) {
    return enumNameText(value);
}
