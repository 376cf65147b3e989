// Generic events: an event number, a type and a sub-type, two times and two texts. Runs on the client's
// thread while OnEvent holds m_Mutex (without it when queued); never consults the subscriptions.
#include "support/Boundary.h"
#include "events/EventReading.h"
#include "gateway/SiPassGateWay.h"

void SiPassGateWay::handleGenericEvent(IGenericEvent* event, delivery::Queue* queue) {
    SimpleLogger& logger = *SimpleLogger::GetInstance();
    long eventId = 0, type = 0, subType = 0;
    EventDate serverTime, timestamp;
    CComBSTR location, description;

    EventReader<IGenericEvent> read(event, "genericEvent");
    if (!read.all([&] {
            return read(&IGenericEvent::get_EventID, "get_EventID", &eventId) &&
                   read(&IGenericEvent::get_Type, "get_Type", &type) &&
                   read(&IGenericEvent::get_SubType, "get_SubType", &subType) &&
                   read(&IGenericEvent::get_ServerTime, "get_ServerTime", &serverTime) &&
                   read(&IGenericEvent::get_Timestamp, "get_Timestamp", &timestamp) &&
                   read(&IGenericEvent::get_Location, "get_Location", location.ReleaseAndGetAddressOf()) &&
                   read(&IGenericEvent::get_Description, "get_Description",
                        description.ReleaseAndGetAddressOf());
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

    if (droppedAsTooOld(stamp, now, m_DropDuration, "Drop old GenericEvent. Timestamp was: ")) {
        return;
    }

    if (logger.enabled()) {
        LogLine line;
        line << "SiPass GenericEvent: "
             << " EventId: " << eventId << "|"
             << " Type: " << enumNameText(EObjType(type)) << " (" << type << ")|"
             << " SubType: " << enumNameText(ESubType(subType)) << " (" << subType << ")|"
             << " Location: " << location << "|"
             << " Description: " << description << "|"
             << " Timestamp: " << timestamp << "|"
             << " Servertime: " << serverTime << "|"
             << " CurrentTime: " << now.local;
        logger.dbgLog(std::move(line.text()));
    }

    if (queue != nullptr) {
        delivery::Item item = queuedEvent(delivery::Item::Kind::Generic, eventId, 0, 0, type, subType, 0, 0,
                                          timestampMs, serverTimeMs);
        const Win32Helper::TextForm form = hostTextForm(hostOptions);
        item.addText(location, form);
        item.addText(description, form);
        queue->push(std::move(item));
        return;
    }

    GenericEventCallback callback = m_GenericEventCallback;
    if (callback == nullptr) {
        countWithoutCallback();
        return;
    }
    announceHostCall(statistics::EventKind::Generic);
    const Win32Helper::TextForm form = hostTextForm(hostOptions);
    // The texts are made before the guarded call, which holds nothing but the call itself: a structured
    // exception from the host's callback abandons the guarded frames without running their destructors.
    const Win32Helper::CallbackText locationText(location, form);
    const Win32Helper::CallbackText descriptionText(description, form);
    boundary::callHost("m_GenericEventCallback", [&] {
        callback(eventId, type, subType, timestampMs, serverTimeMs, locationText.c_str(),
                 descriptionText.c_str());
    });
}
