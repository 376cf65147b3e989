// Event delivery in-process: host callbacks defined in the same module as the gateway's code, so that a
// C++ exception can be thrown into the translators on x86 as well.
#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ComTest.h"
#include "gateway/ProcessGateway.h"
#include "LogCapture.h"
#include "gateway/SiPassGateWay.h"
#include "support/SimpleLogger.h"
#include "support/Statistics.h"

namespace {

class InModuleDelivery : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);
        gateway = processGateway::obtain();
        ASSERT_TRUE(gateway->Init(L"operator", L"sipass"));
        capture.clear();
    }
    void releaseEverything() override {
        processGateway::closeCurrent();
        SimpleLogger::GetInstance()->setLogger(nullptr);
    }

    sim::EventObject stateEvent() {
        sim::EventObject event;
        event.objectState = true;
        event.timestamp = sim::localNow();
        return event;
    }

    LogCapture capture;
    processGateway::Pin gateway;
};

int g_calls = 0;

void SIPASSVORMEKGATEWAY_CALL throwingState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                            int64_t, int64_t, const wchar_t*, const wchar_t*) {
    ++g_calls;
    throw std::runtime_error("x");
}

void SIPASSVORMEKGATEWAY_CALL throwingNonStandard(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                                  int32_t, int64_t, int64_t, const wchar_t*, const wchar_t*) {
    ++g_calls;
    throw 42;
}

std::vector<int32_t> g_eventIds;
// Called once, from the callback of the first event, with the gateway's mutex held by this thread.
std::function<void()> g_onFirstEvent;

void SIPASSVORMEKGATEWAY_CALL recordingState(int32_t eventId, int32_t, int32_t, int32_t, int32_t, int32_t,
                                             int32_t, int64_t, int64_t, const wchar_t*, const wchar_t*) {
    g_eventIds.push_back(eventId);
    if (g_onFirstEvent) {
        std::exchange(g_onFirstEvent, nullptr)();
    }
}

}  // namespace

// Regression: an event object whose QueryInterface, AddRef or Release raised ended the handling of its
// whole array. The events after it in the same OnEvent call were lost, the client was told E_UNEXPECTED,
// and the gateway's copy of the array (partly made, when an AddRef raised) stayed behind. The same held for
// an array that arrives on the thread that is delivering, which is kept until the callback has returned.
TEST_F(InModuleDelivery, AnEventObjectThatRaisesCostsOnlyItself) {
    gateway->RegisterAlarmStateCallback(&recordingState);
    auto eventArray = [this](std::vector<int32_t> ids) {
        SAFEARRAY* array = ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(ids.size()));
        EXPECT_NE(nullptr, array);
        for (LONG i = 0; array != nullptr && i < static_cast<LONG>(ids.size()); ++i) {
            sim::EventObject fields = stateEvent();
            fields.eventId = ids[i];
            VARIANT element;
            element.vt = VT_UNKNOWN;
            EXPECT_EQ(S_OK, sim::createEvent(fields, &element.punkVal));
            EXPECT_EQ(S_OK, ::SafeArrayPutElement(array, &i, &element));
            element.punkVal->Release();
        }
        return array;
    };
    const struct {
        const char* method;
        std::vector<int32_t> delivered;
        const wchar_t* line;
        long lines;  // Release: once for each object the gateway asked; the array is read where it lies
    } cases[] = {
        {"IUnknown::QueryInterface(IAccessEvent)", {},
         L"Exception in IUnknown::QueryInterface for OnEvent: structured exception 0xC0000005", 3},
        {"IUnknown::Release", {1, 2, 3}, L"Exception in IUnknown::Release: structured exception 0xC0000005", 3},
        {"IUnknown::AddRef", {1, 2, 3}, L"Exception in IUnknown::AddRef: structured exception 0xC0000005", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        const long objectsBefore = sim::liveObjects();
        SAFEARRAY* array = eventArray({1, 2, 3});
        ASSERT_NE(nullptr, array);
        g_eventIds.clear();
        capture.clear();
        sim::raiseInMethod(c.method, sim::Raise::AccessViolation);
        EXPECT_EQ(S_OK, gateway->OnEvent(array));
        sim::clearFaults();
        EXPECT_EQ(c.delivered, g_eventIds);
        const std::vector<std::wstring> texts = capture.texts();
        EXPECT_EQ(c.lines, std::count(texts.begin(), texts.end(), c.line));
        EXPECT_EQ(S_OK, ::SafeArrayDestroy(array));
        // What stays is what the client's own raising Release kept: each object, nothing of the gateway's.
        const long kept = std::string(c.method) == "IUnknown::Release" ? 3 : 0;
        EXPECT_EQ(objectsBefore + kept, sim::liveObjects());
        allowObjectsKeptByTheClient(kept);
    }

    // An array delivered from inside the first event's callback is kept; the AddRef of its second object
    // raises. That event alone is lost, the kept ones follow the callback, and nothing is left over.
    const long objectsBefore = sim::liveObjects();
    SAFEARRAY* outer = eventArray({1, 2, 3});
    SAFEARRAY* nested = eventArray({11, 12, 13});
    ASSERT_NE(nullptr, outer);
    ASSERT_NE(nullptr, nested);
    g_eventIds.clear();
    capture.clear();
    HRESULT nestedResult = E_FAIL;
    g_onFirstEvent = [&] {
        sim::armCallFault(1, sim::CallFault::Raise);
        nestedResult = gateway->OnEvent(nested);
        sim::clearFaults();
    };
    EXPECT_EQ(S_OK, gateway->OnEvent(outer));
    EXPECT_EQ(S_OK, nestedResult);
    EXPECT_EQ(std::optional<std::string>("IUnknown::AddRef"), sim::appliedCallFault());
    EXPECT_EQ((std::vector<int32_t>{1, 11, 13, 2, 3}), g_eventIds);
    const std::vector<std::wstring> texts = capture.texts();
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(),
                            L"Exception in IUnknown::AddRef: structured exception 0xC0000005"));
    EXPECT_EQ(S_OK, ::SafeArrayDestroy(nested));
    EXPECT_EQ(S_OK, ::SafeArrayDestroy(outer));
    EXPECT_EQ(objectsBefore, sim::liveObjects());
}

TEST_F(InModuleDelivery, AStdExceptionFromTheCallbackIsLoggedAndTheNextEventArrives) {
    g_calls = 0;
    gateway->RegisterAlarmStateCallback(&throwingState);
    ASSERT_TRUE(sim::deliverEvent(stateEvent()));
    ASSERT_TRUE(sim::deliverEvent(stateEvent()));
    EXPECT_EQ(2, g_calls);
    auto texts = capture.texts();
    EXPECT_EQ(2, std::count(texts.begin(), texts.end(), L"Exception m_AlarmStateCallback: x"));
}

TEST_F(InModuleDelivery, AnyOtherExceptionIsContainedToo) {
    g_calls = 0;
    gateway->RegisterAlarmStateCallback(&throwingNonStandard);
    ASSERT_TRUE(sim::deliverEvent(stateEvent()));
    EXPECT_EQ(1, g_calls);
    EXPECT_EQ(L"Exception m_AlarmStateCallback: unknown exception", capture.texts().back());
}

TEST_F(InModuleDelivery, SubscriptionsAreForgottenWithTheGatewayObject) {
    gateway->RegisterAlarmStateCallback(&throwingState);
    ASSERT_TRUE(gateway->RegisterAlarmEvent(6, 1, 3006));
    EXPECT_TRUE(gateway->isSubscribed(6, 1, 3006));
    EXPECT_FALSE(gateway->isSubscribed(6, 1, 3005));

    processGateway::closeCurrent();
    gateway.reset();
    gateway = processGateway::obtain();
    ASSERT_TRUE(gateway->Init(L"operator", L"sipass"));
    EXPECT_FALSE(gateway->isSubscribed(6, 1, 3006));
}

// The client's OnEvent array as the sink reads it: in place for a delivery, or kept when it arrives on the
// thread that is delivering. Whatever the array holds, the client gets it back as it was handed over
// (unlocked, every reference it held and no other), and both paths deliver and count the same.
namespace {

// A new state event object with `eventId`; the caller owns its one reference.
IUnknown* newStateEvent(int32_t eventId) {
    sim::EventObject fields;
    fields.objectState = true;
    fields.timestamp = sim::localNow();
    fields.eventId = eventId;
    IUnknown* object = nullptr;
    EXPECT_EQ(S_OK, sim::createEvent(fields, &object));
    return object;
}

// An array of VARIANTs with lower bound `lower`: an event object with the id for each positive id, a null
// object for 0, and a VT_I4 element for a negative one.
SAFEARRAY* eventArray(LONG lower, const std::vector<int32_t>& elements) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(elements.size()), lower};
    SAFEARRAY* array = ::SafeArrayCreate(VT_VARIANT, 1, &bound);
    EXPECT_NE(nullptr, array);
    for (size_t i = 0; array != nullptr && i < elements.size(); ++i) {
        LONG index = lower + static_cast<LONG>(i);
        VARIANT element;
        if (elements[i] < 0) {
            element.vt = VT_I4;
            element.lVal = elements[i];
        } else {
            element.vt = VT_UNKNOWN;
            element.punkVal = elements[i] == 0 ? nullptr : newStateEvent(elements[i]);
        }
        EXPECT_EQ(S_OK, ::SafeArrayPutElement(array, &index, &element));
        if (element.vt == VT_UNKNOWN && element.punkVal != nullptr) {
            element.punkVal->Release();
        }
    }
    return array;
}

class EventSinkArrays : public InModuleDelivery {
protected:
    void SetUp() override {
        InModuleDelivery::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        gateway->RegisterAlarmStateCallback(&recordingState);
        g_eventIds.clear();
        g_onFirstEvent = nullptr;
    }
    void releaseEverything() override {
        g_onFirstEvent = nullptr;
        InModuleDelivery::releaseEverything();
    }

    // Runs handOver (the client's OnEvent) directly, or, with `nested`, from inside the callback of an outer
    // delivery whose one event has id 1 (the array is then kept and delivered after that callback).
    // Returns what handOver returned.
    HRESULT deliver(const std::function<HRESULT()>& handOver, bool nested) {
        if (!nested) {
            return handOver();
        }
        HRESULT nestedResult = E_FAIL;
        g_onFirstEvent = [&] { nestedResult = handOver(); };
        SAFEARRAY* outer = eventArray(0, {1});
        EXPECT_EQ(S_OK, gateway->OnEvent(outer));
        EXPECT_EQ(S_OK, ::SafeArrayDestroy(outer));
        return nestedResult;
    }
};

// An array of VARIANTs whose bounds claim `claimed` elements while its data holds `held` (none: no data at
// all, as after SafeArrayDestroyData): the data ends where a page that cannot be read begins. Element i
// holds event object 10 + i.
class ShortArray {
public:
    ShortArray(ULONG held, ULONG claimed) {
        SYSTEM_INFO system;
        ::GetSystemInfo(&system);
        m_page = system.dwPageSize;
        EXPECT_EQ(S_OK, ::SafeArrayAllocDescriptorEx(VT_VARIANT, 1, &m_array));
        // As SafeArrayCreate marks an array of VARIANTs; the data is not the array's to free.
        m_array->fFeatures |= FADF_VARIANT | FADF_STATIC;
        m_array->rgsabound[0].lLbound = 0;
        m_array->rgsabound[0].cElements = claimed;
        m_held = held;
        if (held == 0) {
            return;
        }
        m_pages =
            static_cast<char*>(::VirtualAlloc(nullptr, 2 * m_page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD before = 0;
        EXPECT_TRUE(::VirtualProtect(m_pages + m_page, m_page, PAGE_NOACCESS, &before));
        VARIANT* data = reinterpret_cast<VARIANT*>(m_pages + m_page) - held;
        for (ULONG i = 0; i < held; ++i) {
            data[i].vt = VT_UNKNOWN;
            data[i].punkVal = newStateEvent(static_cast<int32_t>(10 + i));
        }
        m_array->pvData = data;
    }
    ShortArray(const ShortArray&) = delete;
    ShortArray& operator=(const ShortArray&) = delete;
    ~ShortArray() {
        m_array->cLocks = 0;  // a lock left behind has been reported by the test
        m_array->rgsabound[0].cElements = m_held;
        EXPECT_EQ(S_OK, ::SafeArrayDestroy(m_array));  // releases the objects the data holds
        if (m_pages != nullptr) {
            ::VirtualFree(m_pages, 0, MEM_RELEASE);
        }
    }

    SAFEARRAY* get() const { return m_array; }

private:
    SAFEARRAY* m_array = nullptr;
    char* m_pages = nullptr;
    DWORD m_page = 0;
    ULONG m_held = 0;
};

}  // namespace

// Regression: the array is read where the client keeps it, locked for the call. An element that could not
// be read (an array without its data, or with less data than its bounds claim) raised in the frame that
// held the lock: the guard abandoned it, so the client's array stayed locked (SafeArrayDestroy refused it
// and it leaked with its objects), and a kept array also leaked the references already taken. The kept
// path also dropped the events read before the fault, which a direct delivery delivers.
TEST_F(EventSinkArrays, AnArrayWhoseDataCannotBeReadIsGivenBackUnlocked) {
    const struct {
        const char* name;
        ULONG held;
        ULONG claimed;
        std::vector<int32_t> delivered;  // after the outer event, for a kept array
    } shapes[] = {
        {"no data", 0, 2, {}},
        {"data shorter than its bounds", 1, 2, {10}},
    };
    for (const auto& shape : shapes) {
        for (const bool nested : {false, true}) {
            SCOPED_TRACE(std::string(shape.name) + (nested ? ", kept" : ", direct"));
            const long objectsBefore = sim::liveObjects();
            const uint64_t malformedBefore = statistics::counters().malformedArrays.load();
            g_eventIds.clear();
            capture.clear();
            {
                ShortArray array(shape.held, shape.claimed);
                EXPECT_EQ(E_UNEXPECTED, deliver([&] { return gateway->OnEvent(array.get()); }, nested));
                EXPECT_EQ(0u, array.get()->cLocks);
            }
            std::vector<int32_t> expected = shape.delivered;
            if (nested) {
                expected.insert(expected.begin(), 1);
            }
            EXPECT_EQ(expected, g_eventIds);
            EXPECT_EQ(objectsBefore, sim::liveObjects());
            EXPECT_EQ(malformedBefore + 1, statistics::counters().malformedArrays.load());
            const std::vector<std::wstring> texts = capture.texts();
            EXPECT_EQ(1, std::count(texts.begin(), texts.end(),
                                    L"Exception in OnEvent: structured exception 0xC0000005"));
        }
    }
}

// An array that arrives on the delivering thread is kept and delivered after the callback; the client is
// told what a direct delivery tells it (a failure reported as S_OK when its elements are not VARIANTs), and
// the same events, lines and malformed arrays follow, though the client frees the array on return.
TEST_F(EventSinkArrays, AKeptArrayIsToldLoggedAndCountedAsADirectOne) {
    const struct {
        const char* name;
        std::function<SAFEARRAY*()> make;
        HRESULT told;
        std::vector<int32_t> delivered;
        const wchar_t* line;
        uint64_t malformed;
    } cases[] = {
        {"no array",
         [] { return static_cast<SAFEARRAY*>(nullptr); },
         S_OK,
         {},
         L"Event received without an array. Skip.",
         1},
        {"without its type flag",
         [] {
             SAFEARRAY* array = eventArray(0, {10});
             array->fFeatures &= ~FADF_HAVEVARTYPE;
             return array;
         },
         S_OK,
         {},
         L"Event received with a non VARRIANT Safearray. Skip.",
         1},
        {"elements not VARIANTs",
         [] { return ::SafeArrayCreateVector(VT_I4, 0, 1); },
         E_INVALIDARG,
         {},
         L"SafeArrayGetVartype() == VT_VARIANT for OnEvent failed: hr=-2147024809",
         1},
        {"two dimensions",
         [] {
             SAFEARRAYBOUND bounds[2] = {{1, 0}, {1, 0}};
             return ::SafeArrayCreate(VT_VARIANT, 2, bounds);
         },
         S_OK,
         {},
         L"Save Array received with a Dimension !=1. Skip.",
         1},
        {"a non-object after an event, lower bound 5",
         [] {
             return eventArray(5, {10, -1, 12});
         },
         S_OK,
         {10},
         L"Array does not contain an IUnknown pointer. Skip.",
         1},
        {"a null object before an event",
         [] {
             return eventArray(0, {0, 11});
         },
         S_OK,
         {11},
         L"punkVal is null. Skip.",
         0},
    };
    for (const auto& c : cases) {
        for (const bool nested : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (nested ? ", kept" : ", direct"));
            const long objectsBefore = sim::liveObjects();
            const uint64_t malformedBefore = statistics::counters().malformedArrays.load();
            g_eventIds.clear();
            capture.clear();
            // The client frees its array as soon as OnEvent returns.
            const HRESULT told = deliver(
                [&] {
                    SAFEARRAY* array = c.make();
                    const HRESULT hr = gateway->OnEvent(array);
                    EXPECT_EQ(S_OK, ::SafeArrayDestroy(array));
                    return hr;
                },
                nested);
            EXPECT_EQ(c.told, told);
            std::vector<int32_t> expected = c.delivered;
            if (nested) {
                expected.insert(expected.begin(), 1);
            }
            EXPECT_EQ(expected, g_eventIds);
            EXPECT_EQ(malformedBefore + c.malformed, statistics::counters().malformedArrays.load());
            const std::vector<std::wstring> texts = capture.texts();
            EXPECT_EQ(1, std::count(texts.begin(), texts.end(), c.line));
            EXPECT_EQ(objectsBefore, sim::liveObjects());
        }
    }
}
