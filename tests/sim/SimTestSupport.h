// Shared pieces of the simulator's tests: a fixture that brings COM up and checks that every test
// releases all simulator objects, an event sink that records its calls, a call on a thread of its own, an
// advised sink that is unadvised at the end of its scope, and a runner that reports the structured
// exception a call raised.
#pragma once

#include "client/ClientInterfaces.h"
#include "SimControl.h"

#include <gtest/gtest.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;

// Owns a BSTR made from a wide string literal or std::wstring.
class TestBstr {
public:
    explicit TestBstr(const std::wstring& text)
        : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    TestBstr() = default;
    ~TestBstr() { SysFreeString(value_); }
    TestBstr(const TestBstr&) = delete;
    TestBstr& operator=(const TestBstr&) = delete;
    BSTR get() const { return value_; }
    BSTR* out() { return &value_; }
    std::wstring text() const { return value_ ? std::wstring(value_, SysStringLen(value_)) : std::wstring(); }

private:
    BSTR value_ = nullptr;
};

// Every test runs in an initialised MTA with the class factories registered and the default site, and
// fails if it leaves a simulator object alive.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ComPtr<IComClient> createClient();
    ComPtr<IComClient> connectedClient();  // logged in as operator

private:
    bool comInitialised_ = false;
    long liveAtStart_ = 0;
};

// Connect with the given account.
HRESULT connect(IComClient* client, const wchar_t* user, const wchar_t* password);
// The client's connection state (-1 when the query fails, which also fails the test).
long connectionState(IComClient* client);

// The IUnknown side of a test's own sink: answers IUnknown and _ICOMClientEvents with itself, counts
// the references the simulator takes and lets the test wait until all are given back. The event methods
// answer S_OK until a derived sink overrides them.
class CountedSink : public _ICOMClientEvents {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnAlarm(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSubscriptionEvent(long) override { return S_OK; }

    long references() const { return references_; }
    // Waits until nobody holds a reference any more; false on timeout.
    bool waitUntilReleased(unsigned timeoutMs = 5000);

protected:
    virtual ~CountedSink() = default;

private:
    std::atomic<long> references_{0};
    std::mutex releasedMutex_;
    std::condition_variable released_;
};

// Calls `visit` with the object of every VT_UNKNOWN element of an OnEvent array, in order.
void forEachEventObject(SAFEARRAY* events, const std::function<void(IUnknown*)>& visit);

// A _ICOMClientEvents sink owned by the test. It counts the references the simulator holds on it and
// records every OnClientStateChanged with the thread and apartment it arrived on.
class RecordingSink final : public _ICOMClientEvents {
public:
    struct Call {
        long state;
        DWORD threadId;
        APTTYPE apartment;
    };

    explicit RecordingSink(bool answersEvents = true) : answersEvents_(answersEvents) {}
    ~RecordingSink() { EXPECT_EQ(0, references_) << "the simulator still holds a sink being destroyed"; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long state) override;
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnAlarm(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSubscriptionEvent(long) override { return S_OK; }

    std::vector<Call> calls() const;
    // Waits until at least `count` calls have been recorded; false on timeout.
    bool waitForCalls(size_t count, unsigned timeoutMs = 5000);
    long references() const { return references_; }
    // Waits until nobody holds a reference any more; false on timeout.
    bool waitUntilReleased(unsigned timeoutMs = 5000);
    // While blocked, OnClientStateChanged waits for unblock() before it returns.
    void block();
    void unblock();
    // Runs inside OnClientStateChanged, on the simulator's thread.
    void onCall(std::function<void()> action) { action_ = std::move(action); }

private:
    const bool answersEvents_;
    std::atomic<long> references_{0};
    std::function<void()> action_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;  // guarded by mutex_
    bool blocked_ = false;     // guarded by mutex_
};

// A call made on a thread of its own (in the MTA), so that the test can watch whether it has returned. A
// call that never returns fails the test and is left behind instead of hanging it: whatever the call uses
// must be captured by value (a ComPtr keeps its object alive for the stuck thread).
class BackgroundCall {
public:
    explicit BackgroundCall(std::function<HRESULT()> call) : shared_(std::make_shared<Shared>()) {
        thread_ = std::thread([shared = shared_, call = std::move(call)]() mutable {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->threadId = GetCurrentThreadId();
            }
            const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            const HRESULT result = call();
            call = nullptr;  // lets go of what the call captured while still in the apartment
            if (SUCCEEDED(init)) {
                CoUninitialize();
            }
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->result = result;
                shared->returned = true;
            }
            shared->done.notify_all();
        });
    }
    ~BackgroundCall() {
        if (waitFor(0)) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;

    // True once the call has returned.
    bool waitFor(unsigned timeoutMs) {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        return shared_->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [this] { return shared_->returned; });
    }
    HRESULT result() const {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return shared_->result;
    }
    DWORD threadId() const {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return shared_->threadId;
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool returned = false;    // guarded by mutex
        HRESULT result = E_FAIL;  // guarded by mutex
        DWORD threadId = 0;       // guarded by mutex
    };
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// An advised sink that is unadvised at the end of the test, before the sink itself goes.
class Advised {
public:
    Advised(IComClient* client, _ICOMClientEvents& sink) {
        ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(S_OK, client->QueryInterface(IID_PPV_ARGS(&container)));
        if (container) {
            EXPECT_EQ(S_OK, container->FindConnectionPoint(__uuidof(_ICOMClientEvents), &point_));
        }
        if (point_) {
            EXPECT_EQ(S_OK, point_->Advise(&sink, &cookie_));
        }
    }
    ~Advised() {
        if (point_) {
            EXPECT_EQ(S_OK, point_->Unadvise(cookie_));
        }
    }
    Advised(const Advised&) = delete;
    Advised& operator=(const Advised&) = delete;

private:
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};

// Runs `body` on a thread of its own and reports the first error-severity structured exception it
// raised; the thread ends at that exception, as a crashing call would end it.
struct StructuredOutcome {
    bool raised;
    DWORD code;
    ULONG_PTR firstParameter;
};
StructuredOutcome runCatchingStructured(const std::function<void()>& body);
