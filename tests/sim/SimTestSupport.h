// Shared pieces of the simulator's tests: a fixture that brings COM up and checks that every test
// releases all simulator objects, an event sink that records its calls, and a runner that reports the
// structured exception a call raised.
#pragma once

#include "ClientInterfaces.h"
#include "SimControl.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
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

// Runs `body` on a thread of its own and reports the first error-severity structured exception it
// raised; the thread ends at that exception, as a crashing call would end it.
struct StructuredOutcome {
    bool raised;
    DWORD code;
    ULONG_PTR firstParameter;
};
StructuredOutcome runCatchingStructured(const std::function<void()>& body);
