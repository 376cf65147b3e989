// The client's OnEvent array as the sink reads it: in place for a delivery, or kept when it arrives on the
// thread that is delivering. Whatever the array holds, the client gets it back as it was handed over
// (unlocked, every reference it held and no other), and both paths deliver and count the same.
#include <algorithm>
#include <functional>
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

// A new state event object with `eventId`; the caller owns its one reference.
IUnknown* stateEvent(int32_t eventId) {
    sim::EventObject fields;
    fields.objectState = true;
    fields.timestamp = sim::localNow();
    fields.eventId = eventId;
    IUnknown* object = nullptr;
    EXPECT_EQ(S_OK, sim::createEvent(fields, &object));
    return object;
}

class EventSinkArrays : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);
        gateway = processGateway::obtain();
        ASSERT_TRUE(gateway->Init(L"operator", L"sipass"));
        gateway->RegisterAlarmStateCallback(&recordingState);
        g_eventIds.clear();
        g_onFirstEvent = nullptr;
        capture.clear();
    }
    void releaseEverything() override {
        g_onFirstEvent = nullptr;
        processGateway::closeCurrent();
        SimpleLogger::GetInstance()->setLogger(nullptr);
    }

    // Hands `array` to OnEvent directly, or, with `nested`, from inside the callback of an outer delivery
    // whose one event has id 1 (the array is then kept and delivered after that callback). Returns what
    // the client was told about `array`.
    HRESULT deliver(SAFEARRAY* array, bool nested) {
        if (!nested) {
            return gateway->OnEvent(array);
        }
        SAFEARRAY* outer = ::SafeArrayCreateVector(VT_VARIANT, 0, 1);
        EXPECT_NE(nullptr, outer);
        LONG index = 0;
        VARIANT element;
        element.vt = VT_UNKNOWN;
        element.punkVal = stateEvent(1);
        EXPECT_EQ(S_OK, ::SafeArrayPutElement(outer, &index, &element));
        element.punkVal->Release();
        HRESULT nestedResult = E_FAIL;
        g_onFirstEvent = [&] { nestedResult = gateway->OnEvent(array); };
        EXPECT_EQ(S_OK, gateway->OnEvent(outer));
        EXPECT_EQ(S_OK, ::SafeArrayDestroy(outer));
        return nestedResult;
    }

    LogCapture capture;
    processGateway::Pin gateway;
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
            data[i].punkVal = stateEvent(static_cast<int32_t>(10 + i));
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
                EXPECT_EQ(E_UNEXPECTED, deliver(array.get(), nested));
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

namespace {

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
            element.punkVal = elements[i] == 0 ? nullptr : stateEvent(elements[i]);
        }
        EXPECT_EQ(S_OK, ::SafeArrayPutElement(array, &index, &element));
        if (element.vt == VT_UNKNOWN && element.punkVal != nullptr) {
            element.punkVal->Release();
        }
    }
    return array;
}

}  // namespace

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
            HRESULT told = E_FAIL;
            auto deliverAndFree = [&] {
                SAFEARRAY* array = c.make();
                told = gateway->OnEvent(array);
                EXPECT_EQ(S_OK, ::SafeArrayDestroy(array));
            };
            if (nested) {
                g_onFirstEvent = deliverAndFree;
                SAFEARRAY* outer = eventArray(0, {1});
                EXPECT_EQ(S_OK, gateway->OnEvent(outer));
                EXPECT_EQ(S_OK, ::SafeArrayDestroy(outer));
            } else {
                deliverAndFree();
            }
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
