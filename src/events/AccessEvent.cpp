// Access events: a badge presented at a reader, with the cardholder's data. Runs on the client's thread
// while OnEvent holds m_Mutex, or without it when the event is queued.
#include "support/Boundary.h"
#include "events/EventReading.h"
#include "gateway/SiPassGateWay.h"

void SiPassGateWay::handleAccessEvent(IAccessEvent* event, delivery::Queue* queue) {
    SimpleLogger& logger = *SimpleLogger::GetInstance();
    long eventId = 0, objectId = 0, objectType = 0, state = 0, type = 0, subType = 0, stateType = 0;
    EventDate serverTime, timestamp;
    CComBSTR firstName, lastName, cardNumber, description, location;

    EventReader<IAccessEvent> read(event, "accessEvent");
    if (!read.all([&] {
            return read(&IAccessEvent::get_EventID, "get_EventID", &eventId) &&
                   read(&IAccessEvent::get_ObjectID, "get_ObjectID", &objectId) &&
                   read(&IAccessEvent::get_ObjectType, "get_ObjectType", &objectType) &&
                   read(&IAccessEvent::get_State, "get_State", &state) &&
                   read(&IAccessEvent::get_Type, "get_Type", &type) &&
                   read(&IAccessEvent::get_SubType, "get_SubType", &subType) &&
                   read(&IAccessEvent::get_StateType, "get_StateType", &stateType) &&
                   read(&IAccessEvent::get_ServerTime, "get_ServerTime", &serverTime) &&
                   read(&IAccessEvent::get_Timestamp, "get_Timestamp", &timestamp) &&
                   read(&IAccessEvent::get_FirstName, "get_FirstName", firstName.ReleaseAndGetAddressOf()) &&
                   read(&IAccessEvent::get_LastName, "get_LastName", lastName.ReleaseAndGetAddressOf()) &&
                   read(&IAccessEvent::get_CardNumber, "get_CardNumber",
                        cardNumber.ReleaseAndGetAddressOf()) &&
                   read(&IAccessEvent::get_Description, "get_Description",
                        description.ReleaseAndGetAddressOf()) &&
                   read(&IAccessEvent::get_Location, "get_Location", location.ReleaseAndGetAddressOf());
        })) {
        return;
    }
    // One reading of the options for every value of this event, its times and its texts alike: an option
    // set meanwhile (on another thread, or by the host's log function while this event is logged) applies
    // from the next event.
    const options::Snapshot hostOptions = options::snapshot();
    const long long serverTimeMs = hostEpochMs(serverTime, hostOptions);
    const EventStamp stamp = stampOf(timestamp, hostOptions);
    const long long timestampMs = stamp.hostMs;
    const CurrentTime now = currentTime();

    if (droppedAsTooOld(stamp, now, m_DropDuration, "SiPass Drop old AccessEvent. Timestamp was: ")) {
        return;
    }

    if (logger.enabled()) {
        LogLine line;
        line << "SiPass AccessEvent: "
             << " EventID: " << eventId << "|"
             << " ObjectID: " << objectId << "|"
             << " ObjectType: " << enumNameText(EObjType(objectType)) << " (" << objectType << ")|"
             << " Type: " << enumNameText(EObjType(type)) << " (" << type << ")|"
             << " SubType: " << enumNameText(ESubType(subType)) << " (" << subType << ")|"
             << " State: " << enumNameText(EObjState(state)) << " (" << state << ")|"
             << " StateType: " << enumNameText(EStateType(stateType)) << " (" << stateType << ")|"
             << " FirstName: " << firstName << "|"
             << " LastName: " << lastName << "|"
             << " CardNumber: " << cardNumber;
        logger.dbgLog(std::move(line.text()));
    }

    if (queue != nullptr) {
        delivery::Item item = queuedEvent(delivery::Item::Kind::Access, eventId, objectId, objectType, type,
                                          subType, state, stateType, timestampMs, serverTimeMs);
        const Win32Helper::TextForm form = hostTextForm(hostOptions);
        for (const CComBSTR* text : {&firstName, &lastName, &cardNumber, &location, &description}) {
            item.addText(*text, form);
        }
        queue->push(std::move(item));
        return;
    }

    // Keyed by the event's ObjectType; the answer does not restrict forwarding.
    m_NotifyList.contains(objectType, objectId, state);

    AlarmAccessCallback callback = m_AlarmAccessCallback;
    if (callback == nullptr) {
        countWithoutCallback();
        return;
    }
    announceHostCall(statistics::EventKind::Access);
    const Win32Helper::TextForm form = hostTextForm(hostOptions);
    // The texts are made before the guarded call, which holds nothing but the call itself: a structured
    // exception from the host's callback abandons the guarded frames without running their destructors.
    const Win32Helper::CallbackText firstNameText(firstName, form);
    const Win32Helper::CallbackText lastNameText(lastName, form);
    const Win32Helper::CallbackText cardNumberText(cardNumber, form);
    const Win32Helper::CallbackText locationText(location, form);
    const Win32Helper::CallbackText descriptionText(description, form);
    boundary::callHost("m_AlarmAccessCallback", [&] {
        callback(eventId, objectId, objectType, type, subType, state, stateType, timestampMs, serverTimeMs,
                 firstNameText.c_str(), lastNameText.c_str(), cardNumberText.c_str(), locationText.c_str(),
                 descriptionText.c_str());
    });
}
