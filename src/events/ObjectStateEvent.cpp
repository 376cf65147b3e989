// Object-state events: a point in alarm, a door forced or held, a reader offline. Runs on the client's
// thread while OnEvent holds m_Mutex, or without it when the event is queued.
#include "support/Boundary.h"
#include "events/EventReading.h"
#include "gateway/SiPassGateWay.h"

void SiPassGateWay::handleObjectState(IObjectState* event, delivery::Queue* queue) {
    SimpleLogger& logger = *SimpleLogger::GetInstance();
    long eventId = 0, objectId = 0, objectType = 0, state = 0, subType = 0, type = 0, stateType = 0;
    EventDate timestamp, serverTime;
    CComBSTR location, description;

    EventReader<IObjectState> read(event, "objectState");
    if (!read.all([&] {
            return read(&IObjectState::get_EventID, "get_EventID", &eventId) &&
                   read(&IObjectState::get_ObjectID, "get_ObjectID", &objectId) &&
                   read(&IObjectState::get_ObjectType, "get_ObjectType", &objectType) &&
                   read(&IObjectState::get_State, "get_State", &state) &&
                   read(&IObjectState::get_SubType, "get_SubType", &subType) &&
                   read(&IObjectState::get_Type, "get_Type", &type) &&
                   read(&IObjectState::get_StateType, "get_StateType", &stateType) &&
                   read(&IObjectState::get_Timestamp, "get_Timestamp", &timestamp) &&
                   read(&IObjectState::get_ServerTime, "get_ServerTime", &serverTime) &&
                   read(&IObjectState::get_Location, "get_Location", location.ReleaseAndGetAddressOf()) &&
                   read(&IObjectState::get_Description, "get_Description",
                        description.ReleaseAndGetAddressOf());
        })) {
        return;
    }
    // One reading of the options for every value of this event, its times and its texts alike: an option
    // set meanwhile (on another thread, or by the host's log function while this event is logged) applies
    // from the next event.
    const options::Snapshot hostOptions = options::snapshot();
    const EventStamp stamp = stampOf(timestamp, hostOptions);
    const long long timestampMs = stamp.hostMs;
    const long long serverTimeMs = hostEpochMs(serverTime, hostOptions);
    const CurrentTime now = currentTime();

    if (droppedAsTooOld(stamp, now, m_DropDuration, "SiPass Drop old AccessEvent. Timestamp was: ")) {
        return;
    }

    if (logger.enabled()) {
        LogLine line;
        line << "ObjectState:"
             << " EventID: " << eventId << "|"
             << " ObjectID: " << objectId << "|"
             << " ObjectType: " << enumNameText(EObjType(objectType)) << "(" << objectType << ")|"
             << " Type: " << enumNameText(EObjType(type)) << "(" << type << ")|"
             << " SubType: " << enumNameText(ESubType(subType)) << "(" << subType << ")|"
             << " State: " << enumNameText(EObjState(state)) << "(" << state << ")|"
             << " StateType: " << enumNameText(EStateType(stateType)) << "(" << stateType << ")|"
             << " Location: " << location << "|"
             << " Description: " << description << "|"
             << " Servertime: " << serverTime << "|"
             << " Timestamp: " << timestamp << "|"
             << " CurrentTime: " << now.local;
        logger.dbgLog(std::move(line.text()));
    }

    if (queue != nullptr) {
        delivery::Item item = queuedEvent(delivery::Item::Kind::ObjectState, eventId, objectId, objectType, type,
                                          subType, state, stateType, timestampMs, serverTimeMs);
        const Win32Helper::TextForm form = hostTextForm(hostOptions);
        item.addText(location, form);
        item.addText(description, form);
        queue->push(std::move(item));
        return;
    }

    // Keyed by the event's Type; the answer does not restrict forwarding.
    m_NotifyList.contains(type, objectId, state);

    AlarmStateCallback callback = m_AlarmStateCallback;
    if (callback == nullptr) {
        countWithoutCallback();
        return;
    }
    announceHostCall(statistics::EventKind::ObjectState);
    const Win32Helper::TextForm form = hostTextForm(hostOptions);
    // The texts are made before the guarded call, which holds nothing but the call itself: a structured
    // exception from the host's callback abandons the guarded frames without running their destructors.
    const Win32Helper::CallbackText locationText(location, form);
    const Win32Helper::CallbackText descriptionText(description, form);
    boundary::callHost("m_AlarmStateCallback", [&] {
        callback(eventId, objectId, objectType, type, subType, state, stateType, timestampMs, serverTimeMs,
                 locationText.c_str(), descriptionText.c_str());
    });
}
