// The sink forwarder on its own: what reaches its target before and after detach(), and that detach()
// returns only once a call in progress on another thread has returned.
#include <windows.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "gateway/EventSinkForwarder.h"

namespace {

// A manual-reset event, closed with the object.
class Event {
public:
    Event() : m_handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { ::CloseHandle(m_handle); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set() { ::SetEvent(m_handle); }
    // True when the event is set within `milliseconds`.
    bool waitFor(DWORD milliseconds) {
        return ::WaitForSingleObject(m_handle, milliseconds) == WAIT_OBJECT_0;
    }

private:
    HANDLE m_handle;
};

// Counts the calls that reach it. OnAlarm(kHoldingAlarm) announces itself and stays inside the call until
// the test lets it go; every other call returns at once.
class RecordingTarget final : public ConnectionEventTarget {
public:
    static constexpr long kHoldingAlarm = 99;
    static constexpr HRESULT kAlarmAnswer = S_FALSE;  // what the forwarder hands back for a forwarded alarm

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return answerEventSinkQuery(this, riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long) override {
        ADD_FAILURE() << "the forwarder reports a state change through clientStateChanged";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY*) override {
        ++events;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnAlarm(long value) override {
        ++alarms;
        lastAlarm = value;
        if (value == kHoldingAlarm) {
            entered.set();
            EXPECT_TRUE(mayReturn.waitFor(10000)) << "the test never let the held call go";
            returning = true;
        }
        return kAlarmAnswer;
    }
    HRESULT STDMETHODCALLTYPE OnSubscriptionEvent(long) override {
        ++subscriptions;
        return S_OK;
    }
    HRESULT clientStateChanged(long state, unsigned connection) override {
        ++states;
        lastState = state;
        lastConnection = connection;
        return S_OK;
    }

    int calls() const { return events + alarms + subscriptions + states; }

    std::atomic<int> events{0};
    std::atomic<int> alarms{0};
    std::atomic<int> subscriptions{0};
    std::atomic<int> states{0};
    std::atomic<long> lastAlarm{0};
    std::atomic<long> lastState{0};
    std::atomic<unsigned> lastConnection{0};
    std::atomic<bool> returning{false};  // set by the held call just before it returns
    Event entered;                       // set when the held call has begun
    Event mayReturn;                     // set by the test to let the held call return
};

// Calls each of the four methods once; true when every one answered S_OK.
bool callEveryMethod(EventSinkForwarder* forwarder) {
    return forwarder->OnClientStateChanged(1) == S_OK && forwarder->OnEvent(nullptr) == S_OK &&
           forwarder->OnAlarm(2) == S_OK && forwarder->OnSubscriptionEvent(3) == S_OK;
}

}  // namespace

// A client may be inside a sink call on its own thread when the gateway detaches the forwarder (at Close or
// at a new login); the gateway may go away as soon as detach() returns, so detach() must wait for that call.
TEST(EventSinkForwarder, DetachWaitsForTheCallInProgressAndLaterCallsNeverReachTheTarget) {
    const long liveBefore = EventSinkForwarder::live();
    RecordingTarget target;
    auto* forwarder = new EventSinkForwarder(&target, 7);
    EXPECT_EQ(liveBefore + 1, EventSinkForwarder::live());

    // Until detach(), every call reaches the target with its arguments and gives back its answer, and a
    // state report carries the number of the connection.
    EXPECT_EQ(RecordingTarget::kAlarmAnswer, forwarder->OnAlarm(5));
    EXPECT_EQ(S_OK, forwarder->OnClientStateChanged(2));
    EXPECT_EQ(S_OK, forwarder->OnEvent(nullptr));
    EXPECT_EQ(S_OK, forwarder->OnSubscriptionEvent(6));
    EXPECT_EQ(5, target.lastAlarm.load());
    EXPECT_EQ(2, target.lastState.load());
    EXPECT_EQ(7u, target.lastConnection.load());
    EXPECT_EQ(4, target.calls());

    // A client thread is inside a forwarded call when another thread detaches.
    HRESULT heldAnswer = E_FAIL;
    std::thread client([&] { heldAnswer = forwarder->OnAlarm(RecordingTarget::kHoldingAlarm); });
    if (!target.entered.waitFor(10000)) {
        target.mayReturn.set();
        client.join();
        FAIL() << "the call never reached the target";
    }
    Event detached;
    std::atomic<bool> heldCallHadReturned{false};
    std::thread closer([&] {
        forwarder->detach();
        heldCallHadReturned = target.returning.load();
        detached.set();
    });

    EXPECT_FALSE(detached.waitFor(300)) << "detach() returned while a forwarded call was still running";
    target.mayReturn.set();
    EXPECT_TRUE(detached.waitFor(10000)) << "detach() did not return after the call in progress ended";
    client.join();
    closer.join();
    EXPECT_TRUE(heldCallHadReturned.load()) << "detach() returned before the call in progress";
    EXPECT_EQ(RecordingTarget::kAlarmAnswer, heldAnswer) << "the call in progress keeps its own answer";

    // After detach(), every call is answered S_OK and none reaches the target.
    const int callsBefore = target.calls();
    EXPECT_TRUE(callEveryMethod(forwarder));
    std::thread late([&] { EXPECT_TRUE(callEveryMethod(forwarder)); });
    late.join();
    EXPECT_EQ(callsBefore, target.calls());

    // The client's last reference frees the forwarder.
    EXPECT_EQ(liveBefore + 1, EventSinkForwarder::live());
    EXPECT_EQ(0u, forwarder->Release());
    EXPECT_EQ(liveBefore, EventSinkForwarder::live());
}
