// How events meet the calls of the client's host: command events on the thread that sends the command,
// and requests that wait while an event is being delivered.
#include "SimTestSupport.h"

#include <ocidl.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

// Records every object-state event OnEvent receives with the thread it arrived on. OnEvent can run an
// action of the test first and can be held until the test lets it return.
class EventSink final : public CountedSink {
public:
    struct Delivery {
        DWORD threadId;
        long eventId;
        long state;
    };

    // Lets a held event go first, so that a test that ends early does not leave a delivery inside it.
    ~EventSink() {
        letGo();
        EXPECT_TRUE(waitUntilReleased()) << "the simulator still holds a sink being destroyed";
    }

    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override {
        std::vector<Delivery> received;
        forEachEventObject(events, [&](IUnknown* object) {
            ComPtr<IObjectState> state;
            if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&state)))) {
                Delivery delivery{GetCurrentThreadId(), -1, -1};
                state->get_EventID(&delivery.eventId);
                state->get_State(&delivery.state);
                received.push_back(delivery);
            }
        });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_deliveries.insert(m_deliveries.end(), received.begin(), received.end());
        m_changed.notify_all();
        const std::function<void()> action = m_action;
        lock.unlock();
        if (action) {
            action();
        }
        lock.lock();
        const unsigned long letGoAtEntry = m_letGoCount;
        m_changed.wait_for(lock, std::chrono::seconds(30),
                          [&] { return !m_held || m_letGoCount != letGoAtEntry; });
        return S_OK;
    }

    std::vector<Delivery> deliveries() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_deliveries;
    }
    bool waitForDeliveries(size_t count, unsigned timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return m_deliveries.size() >= count; });
    }
    // Runs inside OnEvent, on the delivering thread, after the events are recorded.
    void onEvent(std::function<void()> action) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_action = std::move(action);
    }
    // While held, OnEvent does not return until the next letGo (a later hold does not catch it again).
    void hold() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = true;
    }
    void letGo() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_held = false;
            ++m_letGoCount;
        }
        m_changed.notify_all();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivery> m_deliveries;  // guarded by m_mutex
    std::function<void()> m_action;      // guarded by m_mutex
    bool m_held = false;                 // guarded by m_mutex
    unsigned long m_letGoCount = 0;      // guarded by m_mutex
};

ComPtr<IManualCommand> momentaryUnlock(long pointId) {
    ComPtr<IManualCommand> command;
    EXPECT_EQ(S_OK,
              CoCreateInstance(CLSID_ManualCommand, nullptr, kClientClassContext, IID_PPV_ARGS(&command)));
    if (command) {
        EXPECT_EQ(S_OK, command->put_ObjectType(7));
        EXPECT_EQ(S_OK, command->put_ObjectID(pointId));
        EXPECT_EQ(S_OK, command->put_Command(sim::kCommandMomentaryUnlock));
    }
    return command;
}

sim::EventObject stateEvent(long eventId) {
    sim::EventObject event;
    event.objectState = true;
    event.eventId = eventId;
    event.type = 11;
    event.subType = 7006;
    event.objectId = 2021;
    event.objectType = 7;
    event.state = 2025;
    return event;
}

}  // namespace

using DeliveryModes = SimTest;

TEST_F(DeliveryModes, CallingThreadCommandEventsArriveOnTheSendersThreadBeforeTheCallReturns) {
    ComPtr<IComClient> client = connectedClient();
    ASSERT_TRUE(client);
    EventSink sink;
    Advised advised(client.Get(), sink);
    const ComPtr<IManualCommand> command = momentaryUnlock(1015);
    ASSERT_TRUE(command);

    // The sink calls back into its client from the event: a lock held around the call would deadlock.
    HRESULT fromSink = E_FAIL;
    IComClient* const raw = client.Get();
    sink.onEvent([raw, &fromSink] {
        ComPtr<IUnknown> point;
        fromSink = raw->GetByID(7, 1015, &point);
    });

    sim::setCommandEventDelivery(sim::CommandEventDelivery::CallingThread);
    auto seenOnReturn = std::make_shared<std::vector<EventSink::Delivery>>();
    EventSink* const recorder = &sink;
    BackgroundCall send([client, command, recorder, seenOnReturn] {
        const HRESULT hr = client->SendManualCommand(command.Get());
        *seenOnReturn = recorder->deliveries();
        return hr;
    });
    ASSERT_TRUE(send.waitFor(5000)) << "SendManualCommand did not return";
    EXPECT_EQ(S_OK, send.result());
    ASSERT_EQ(2u, seenOnReturn->size()) << "both events belong before SendManualCommand returns";
    EXPECT_EQ(4001, (*seenOnReturn)[0].state);
    EXPECT_EQ(4000, (*seenOnReturn)[1].state);
    EXPECT_EQ((*seenOnReturn)[0].eventId + 1, (*seenOnReturn)[1].eventId);
    for (const auto& delivery : *seenOnReturn) {
        EXPECT_EQ(send.threadId(), delivery.threadId);
    }
    EXPECT_EQ(S_OK, fromSink);
    EXPECT_TRUE(sim::waitForCommandEvents(0)) << "nothing is left queued for the command-event thread";

    // resetSite goes back to the command-event thread.
    sim::resetSite();
    sink.onEvent(nullptr);
    ASSERT_EQ(S_OK, client->SendManualCommand(command.Get()));
    ASSERT_TRUE(sim::waitForCommandEvents());
    const auto all = sink.deliveries();
    ASSERT_EQ(4u, all.size());
    EXPECT_EQ(4001, all[2].state);
    EXPECT_EQ(4000, all[3].state);
    EXPECT_NE(GetCurrentThreadId(), all[2].threadId);
    EXPECT_NE(GetCurrentThreadId(), all[3].threadId);
}

TEST_F(DeliveryModes, SerialisedRequestsWaitWhileAnotherThreadDeliversAnEvent) {
    ComPtr<IComClient> client = connectedClient();
    ASSERT_TRUE(client);
    EventSink sink;
    {
        Advised advised(client.Get(), sink);
        sim::setSerialisedRequests(true);

        // A request from inside the sink, on the delivering thread, goes on: it cannot wait for itself.
        HRESULT fromSink = E_FAIL;
        IComClient* const raw = client.Get();
        sink.onEvent([raw, &fromSink] {
            ComPtr<IUnknown> device;
            fromSink = raw->GetByID(6, 1, &device);
        });
        ASSERT_TRUE(sim::deliverEvent(stateEvent(1)))
            << "a request from the sink waited for its own delivery";
        EXPECT_EQ(S_OK, fromSink);
        sink.onEvent(nullptr);

        // While the sink holds an event on a simulator thread, a request on another thread waits for it.
        sink.hold();
        sim::deliverEvent(stateEvent(2), 0);
        ASSERT_TRUE(sink.waitForDeliveries(2));
        EXPECT_EQ(1, sim::deliveriesInProgress());
        BackgroundCall getById([client] {
            ComPtr<IUnknown> point;
            return client->GetByID(7, 2021, &point);
        });
        EXPECT_FALSE(getById.waitFor(300)) << "GetByID returned while an event was being delivered";
        sink.letGo();
        EXPECT_TRUE(getById.waitFor(5000)) << "GetByID did not return after the delivery ended";
        EXPECT_EQ(S_OK, getById.result());

        // resetSite turns the mode off: a waiting request goes on, and a new one does not wait.
        sink.hold();
        sim::deliverEvent(stateEvent(3), 0);
        ASSERT_TRUE(sink.waitForDeliveries(3));
        BackgroundCall waiting([client] {
            SAFEARRAY* devices = nullptr;
            const HRESULT hr = client->GetByType(6, 0, &devices);
            SafeArrayDestroy(devices);
            return hr;
        });
        EXPECT_FALSE(waiting.waitFor(300)) << "GetByType returned while an event was being delivered";
        sim::resetSite();
        EXPECT_TRUE(waiting.waitFor(5000)) << "turning the mode off did not let the waiting request go";
        BackgroundCall unserialised([client] {
            ComPtr<IUnknown> point;
            return client->GetByID(7, 2021, &point);
        });
        EXPECT_TRUE(unserialised.waitFor(5000)) << "without the mode a request waited for the delivery";
        EXPECT_EQ(S_OK, waiting.result());
        EXPECT_EQ(S_OK, unserialised.result());
        EXPECT_EQ(1, sim::deliveriesInProgress());
        sink.letGo();
    }
    // The delivering thread lets go of the sink (and of the event array) once its calls have returned.
    EXPECT_TRUE(sink.waitUntilReleased());
    EXPECT_EQ(0, sim::deliveriesInProgress());
}
