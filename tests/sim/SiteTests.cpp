// The simulated site: devices, door sets, points and their states as the client's callers see them,
// arrays malformed on demand, and manual commands that change point states.
#include "SimTestSupport.h"

#include <wrl/client.h>

#include <atomic>
#include <cstdlib>
#include <ostream>

namespace {

// Owns a SAFEARRAY a client method returned.
class ArrayResult {
public:
    ~ArrayResult() { SafeArrayDestroy(m_array); }
    // Out-parameter accessor: destroys the array held so far.
    SAFEARRAY** out() {
        SafeArrayDestroy(m_array);
        m_array = nullptr;
        return &m_array;
    }
    SAFEARRAY* get() const { return m_array; }
    LONG count() const {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(m_array, 1, &lower);
        SafeArrayGetUBound(m_array, 1, &upper);
        return upper - lower + 1;
    }
    // Element i of a VARIANT vector (a copy the caller owns).
    VARIANT element(LONG i) const {
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(S_OK, SafeArrayGetElement(m_array, &i, &value));
        return value;
    }
    template <class Interface>
    ComPtr<Interface> object(LONG i) const {
        VARIANT value = element(i);
        ComPtr<Interface> result;
        if (value.vt == VT_UNKNOWN && value.punkVal != nullptr) {
            value.punkVal->QueryInterface(IID_PPV_ARGS(result.GetAddressOf()));
        }
        VariantClear(&value);
        return result;
    }

private:
    SAFEARRAY* m_array = nullptr;
};

std::wstring nameOf(IDevice* device) {
    TestBstr name;
    EXPECT_EQ(S_OK, device->get_Name(name.out()));
    return name.text();
}

}  // namespace

using SiteTest = SimTest;

TEST_F(SiteTest, TheDemoSiteListsItsDevicesDoorsAndPoints) {
    ComPtr<IComClient> client = connectedClient();
    ArrayResult devices;
    ASSERT_EQ(S_OK, client->GetByType(6, 0, devices.out()));
    EXPECT_NE(0, devices.get()->fFeatures & FADF_HAVEVARTYPE);
    VARTYPE type = VT_EMPTY;
    EXPECT_EQ(S_OK, SafeArrayGetVartype(devices.get(), &type));
    EXPECT_EQ(VT_VARIANT, type);
    EXPECT_EQ(1u, SafeArrayGetDim(devices.get()));
    ASSERT_EQ(3, devices.count());

    const wchar_t* names[] = {L"Haupteingang", L"T\u00fcr S\u00fcd", L"Lager"};
    const LONG doors[] = {2, 3, 2};
    for (LONG i = 0; i < 3; ++i) {
        ComPtr<IDevice> device = devices.object<IDevice>(i);
        ASSERT_TRUE(device);
        long id = 0;
        EXPECT_EQ(S_OK, device->get_ID(&id));
        EXPECT_EQ(i + 1, id);
        EXPECT_EQ(names[i], nameOf(device.Get()));
        ArrayResult doorSets;
        ASSERT_EQ(S_OK, device->GetDoorSets(doorSets.out()));
        EXPECT_EQ(doors[i], doorSets.count());
    }

    // Reader 1 of "Tür Süd" door 2 as a point and as a state.
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, client->GetByID(7, 2021, &object));
    ComPtr<IPoint> point;
    ComPtr<IGeneric> generic;
    ASSERT_EQ(S_OK, object.As(&point));
    ASSERT_EQ(S_OK, object.As(&generic));
    TestBstr pointName, genericName;
    EXPECT_EQ(S_OK, point->get_Name(pointName.out()));
    EXPECT_EQ(S_OK, generic->get_name(genericName.out()));
    EXPECT_EQ(L"T\u00fcr S\u00fcd T\u00fcr 2 Leser au\u00dfen", pointName.text());
    EXPECT_EQ(pointName.text(), genericName.text());

    ArrayResult relatives;
    ASSERT_EQ(S_OK, client->GetRelatives(7, 2021, 2, 0, relatives.out()));
    ASSERT_EQ(1, relatives.count());
    ComPtr<IObjectState> state = relatives.object<IObjectState>(0);
    ASSERT_TRUE(state);
    long code = 0, stateType = -1, objectId = 0;
    DATE serverTime = 0;
    TestBstr location;
    EXPECT_EQ(S_OK, state->get_State(&code));
    EXPECT_EQ(S_OK, state->get_StateType(&stateType));
    EXPECT_EQ(S_OK, state->get_ObjectID(&objectId));
    EXPECT_EQ(S_OK, state->get_ServerTime(&serverTime));
    EXPECT_EQ(S_OK, state->get_Location(location.out()));
    EXPECT_EQ(2026, code);
    EXPECT_EQ(0, stateType);
    EXPECT_EQ(2021, objectId);
    EXPECT_DOUBLE_EQ(45352.3125, serverTime);
    TestBstr description;
    EXPECT_EQ(S_OK, state->get_Description(description.out()));
    EXPECT_EQ(L"T\u00fcr S\u00fcd T\u00fcr 2", location.text()) << "the location is the point's door";
    EXPECT_EQ(L"Leser au\u00dfen", description.text()) << "the description is the point's role";

    EXPECT_EQ(sim::E_SIM_NO_OBJECT, client->GetRelatives(7, 2024, 2, 0, relatives.out()));
    EXPECT_EQ(E_NOTIMPL, client->GetByType(7, 0, relatives.out()));
}

TEST_F(SiteTest, SiteQueriesNeedAConnection) {
    ComPtr<IComClient> client = createClient();
    ArrayResult result;
    EXPECT_EQ(sim::E_SIM_NOT_CONNECTED, client->GetByType(6, 0, result.out()));
    EXPECT_EQ(sim::E_SIM_NOT_CONNECTED, client->GetRelatives(7, 1011, 2, 0, result.out()));
    EXPECT_EQ(nullptr, result.get());
}

namespace {

// Counts the object-state events OnEvent delivers.
class StateEventCounter final : public CountedSink {
public:
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override {
        forEachEventObject(events, [&](IUnknown* object) {
            ComPtr<IObjectState> state;
            if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&state)))) {
                ++m_count;
            }
        });
        return S_OK;
    }
    int count() const { return m_count; }

private:
    std::atomic<int> m_count{0};
};

HRESULT send(IComClient* client, long objectType, long objectId, long code) {
    ComPtr<IManualCommand> command;
    EXPECT_EQ(S_OK,
              CoCreateInstance(CLSID_ManualCommand, nullptr, kClientClassContext, IID_PPV_ARGS(&command)));
    if (!command) {
        return E_UNEXPECTED;
    }
    command->put_ObjectType(objectType);
    command->put_ObjectID(objectId);
    command->put_Command(code);
    return client->SendManualCommand(command.Get());
}

}  // namespace

struct CommandCase {
    long objectType;
    long objectId;
    long command;
    HRESULT result;                                  // what SendManualCommand answers
    int events;                                      // object-state events it raises
    std::vector<std::pair<long, long>> pointStates;  // point id, state afterwards
};

void PrintTo(const CommandCase& c, std::ostream* out) {
    *out << "type " << c.objectType << ", id " << c.objectId << ", code " << c.command;
}

class SiteCommand : public SimTest, public ::testing::WithParamInterface<CommandCase> {};

// Accepted commands change the points their role lets them; refused ones leave no trace at all.
TEST_P(SiteCommand, ChangesThePointsItTargetsOrIsRefused) {
    ComPtr<IComClient> client = connectedClient();
    sim::setCommandEventDelivery(sim::CommandEventDelivery::CallingThread);
    StateEventCounter sink;
    {
        Advised advised(client.Get(), sink);
        EXPECT_EQ(GetParam().result,
                  send(client.Get(), GetParam().objectType, GetParam().objectId, GetParam().command));
    }
    EXPECT_EQ(GetParam().events, sink.count());
    for (const auto& [id, state] : GetParam().pointStates) {
        EXPECT_EQ(state, sim::findPoint(id)->state) << "point " << id;
    }
    EXPECT_EQ(SUCCEEDED(GetParam().result) ? 1u : 0u, sim::sentCommands().size());
    client.Reset();
    EXPECT_TRUE(sink.waitUntilReleased());
}

INSTANTIATE_TEST_SUITE_P(
    CommandTable, SiteCommand,
    ::testing::Values(
        CommandCase{7, 1015, sim::kCommandLock, S_OK, 1, {{1015, 4000}}},
        CommandCase{7, 1025, sim::kCommandUnlock, S_OK, 1, {{1025, 4001}, {1015, 4001}}},
        CommandCase{7, 1025, sim::kCommandMomentaryUnlock, S_OK, 2, {{1025, 4000}}},
        CommandCase{7, 2031, sim::kCommandSecure, S_OK, 1, {{2031, 2022}}},
        CommandCase{7, 2032, sim::kCommandFree, S_OK, 1, {{2032, 2021}}},
        CommandCase{7, 2031, sim::kCommandResetAlarm, S_OK, 1, {{2031, 2025}}},
        CommandCase{7, 1013, sim::kCommandResetAlarm, S_OK, 0, {{1013, 3004}}},  // not in alarm
        // A device stands for those of its points whose role takes the command.
        CommandCase{6, 1, sim::kCommandLock, S_OK, 2, {{1015, 4000}, {1025, 4000}, {1011, 2026}}},
        CommandCase{6, 3, sim::kCommandSecure, S_OK, 2, {{3011, 2022}, {3021, 2022}, {3015, 4000}}},
        CommandCase{6, 2, sim::kCommandResetAlarm, S_OK, 1, {{2031, 2025}, {2013, 3004}}},
        // Refusals, in the order the server checks.
        CommandCase{99, 1015, sim::kCommandLock, sim::E_SIM_UNKNOWN_OBJECT_TYPE, 0, {{1015, 4001}}},
        CommandCase{99, 424242, -5, sim::E_SIM_UNKNOWN_OBJECT_TYPE, 0, {}},
        CommandCase{7, 1015, -5, sim::E_SIM_UNKNOWN_COMMAND, 0, {{1015, 4001}}},
        CommandCase{7, 1015, 0, sim::E_SIM_UNKNOWN_COMMAND, 0, {{1015, 4001}}},
        CommandCase{7, 1015, 99, sim::E_SIM_UNKNOWN_COMMAND, 0, {{1015, 4001}}},
        CommandCase{7, 424242, 99, sim::E_SIM_UNKNOWN_COMMAND, 0, {}},
        CommandCase{7, 424242, sim::kCommandLock, sim::E_SIM_NO_OBJECT, 0, {}},
        CommandCase{6, 12, sim::kCommandUnlock, sim::E_SIM_NO_OBJECT, 0, {{1015, 4001}}},
        CommandCase{6, 1011, sim::kCommandUnlock, sim::E_SIM_NO_OBJECT, 0, {{1015, 4001}}},  // a point's id
        CommandCase{7, 1011, sim::kCommandLock, sim::E_SIM_COMMAND_NOT_FOR_ROLE, 0, {{1011, 2026}}},
        CommandCase{7, 1013, sim::kCommandUnlock, sim::E_SIM_COMMAND_NOT_FOR_ROLE, 0, {{1013, 3004}}},
        CommandCase{7, 1014, sim::kCommandSecure, sim::E_SIM_COMMAND_NOT_FOR_ROLE, 0, {{1014, 3001}}},
        CommandCase{7, 1015, sim::kCommandFree, sim::E_SIM_COMMAND_NOT_FOR_ROLE, 0, {{1015, 4001}}},
        CommandCase{7, 1015, sim::kCommandResetAlarm, sim::E_SIM_COMMAND_NOT_FOR_ROLE, 0, {{1015, 4001}}}),
    [](const ::testing::TestParamInfo<CommandCase>& info) {
        auto number = [](long value) {
            return (value < 0 ? "Minus" : "") + std::to_string(std::labs(value));
        };
        return "Type" + number(info.param.objectType) + "Id" + number(info.param.objectId) + "Code" +
               number(info.param.command);
    });

// A point's role is its slot in a door set: a point of no door takes no command, and a device takes only
// what one of its points takes.
TEST_F(SiteTest, RolesComeFromTheDoorSets) {
    ComPtr<IComClient> client = connectedClient();
    sim::SitePoint loose;
    loose.id = 9001;
    loose.state = 2026;
    sim::addPoint(loose);
    EXPECT_EQ(sim::E_SIM_COMMAND_NOT_FOR_ROLE, send(client.Get(), 7, 9001, sim::kCommandSecure));
    EXPECT_EQ(sim::E_SIM_COMMAND_NOT_FOR_ROLE, send(client.Get(), 7, 9001, sim::kCommandResetAlarm));

    sim::SiteDevice gate;
    gate.id = 9;
    sim::SiteDoorSet door;
    door.doorNumber = 1;
    door.reader1 = 9001;
    gate.doorSets.push_back(door);
    sim::addDevice(gate);
    EXPECT_EQ(sim::E_SIM_COMMAND_NOT_FOR_ROLE, send(client.Get(), 6, 9, sim::kCommandLock)) << "no latch";
    EXPECT_EQ(S_OK, send(client.Get(), 6, 9, sim::kCommandSecure));
    EXPECT_EQ(2022, sim::findPoint(9001)->state);
    EXPECT_EQ(S_OK, send(client.Get(), 7, 9001, sim::kCommandFree)) << "now a reader";
    EXPECT_EQ(2021, sim::findPoint(9001)->state);
    EXPECT_EQ(2u, sim::sentCommands().size());
    EXPECT_TRUE(sim::waitForCommandEvents());
}

TEST_F(SiteTest, AResetAlarmClearsTheStateTypeAndResetSiteRestoresTheDemo) {
    ComPtr<IComClient> client = connectedClient();
    ComPtr<IManualCommand> command;
    ASSERT_EQ(S_OK,
              CoCreateInstance(CLSID_ManualCommand, nullptr, kClientClassContext, IID_PPV_ARGS(&command)));
    command->put_ObjectType(7);
    command->put_ObjectID(3023);
    command->put_Command(sim::kCommandResetAlarm);
    ASSERT_EQ(S_OK, client->SendManualCommand(command.Get()));
    EXPECT_EQ(0, sim::findPoint(3023)->stateType);
    EXPECT_NE(45352.3125, sim::findPoint(3023)->serverTime) << "a change sets the server time";

    sim::clearSite();
    EXPECT_FALSE(sim::findPoint(3023).has_value());
    sim::resetSite();
    EXPECT_EQ(1, sim::findPoint(3023)->stateType);
    EXPECT_EQ(3005, sim::findPoint(3023)->state);
}
