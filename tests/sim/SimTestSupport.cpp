#include "SimTestSupport.h"

#include <chrono>

void SimTest::SetUp() {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    comInitialised_ = true;
    sim::resetSite();
    ASSERT_EQ(S_OK, sim::registerClassObjects());
    liveAtStart_ = sim::liveObjects();
}

void SimTest::TearDown() {
    sim::revokeClassObjects();
    EXPECT_EQ(liveAtStart_, sim::liveObjects()) << "the test left simulator objects alive";
    if (comInitialised_) {
        CoUninitialize();
    }
}

ComPtr<IComClient> SimTest::createClient() {
    ComPtr<IComClient> client;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_ComClient, nullptr, kClientClassContext, IID_PPV_ARGS(&client)));
    return client;
}

ComPtr<IComClient> SimTest::connectedClient() {
    ComPtr<IComClient> client = createClient();
    if (client) {
        EXPECT_EQ(S_OK, client->Connect(TestBstr(L"operator").get(), TestBstr(L"sipass").get()));
    }
    return client;
}

HRESULT RecordingSink::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || (answersEvents_ && IsEqualIID(iid, __uuidof(_ICOMClientEvents)))) {
        AddRef();
        *object = static_cast<_ICOMClientEvents*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG RecordingSink::AddRef() {
    return ++references_;
}

ULONG RecordingSink::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    const long left = --references_;
    if (left == 0) {
        changed_.notify_all();
    }
    return left;
}

HRESULT RecordingSink::OnClientStateChanged(long state) {
    APTTYPE apartment = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    if (FAILED(CoGetApartmentType(&apartment, &qualifier))) {
        apartment = APTTYPE_CURRENT;
    }
    if (action_) {
        action_();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    calls_.push_back({state, GetCurrentThreadId(), apartment});
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(30), [this] { return !blocked_; });
    return S_OK;
}

std::vector<RecordingSink::Call> RecordingSink::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

bool RecordingSink::waitForCalls(size_t count, unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return calls_.size() >= count; });
}

bool RecordingSink::waitUntilReleased(unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return references_ == 0; });
}

void RecordingSink::block() {
    std::lock_guard<std::mutex> lock(mutex_);
    blocked_ = true;
}

void RecordingSink::unblock() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocked_ = false;
    }
    changed_.notify_all();
}

namespace {

// Written by the guarded thread inside the handler, read after the thread has ended.
std::atomic<DWORD> g_guardedThread{0};
StructuredOutcome g_outcome{};

constexpr DWORD kEndedByException = 0x5E4E0001;

void endThreadAfterException() {
    ExitThread(kEndedByException);
}

// Sends the guarded thread to ExitThread when it raises: the exception dispatch completes normally
// (continue execution at a new place), and the frames the exception went through are abandoned
// together with the thread, as they would be when the exception ends the program.
LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (GetCurrentThreadId() != g_guardedThread.load() || (code >> 30) != 3) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    g_outcome.raised = true;
    g_outcome.code = code;
    g_outcome.firstParameter =
        info->ExceptionRecord->NumberParameters > 0 ? info->ExceptionRecord->ExceptionInformation[0] : 0;
    CONTEXT* context = info->ContextRecord;
#if defined(_WIN64)
    context->Rsp = ((context->Rsp - 1024) & ~static_cast<DWORD64>(15)) - 8;  // as after a call
    context->Rip = reinterpret_cast<DWORD64>(&endThreadAfterException);
#else
    context->Esp = ((context->Esp - 1024) & ~static_cast<DWORD>(15)) - 4;
    context->Eip = reinterpret_cast<DWORD>(&endThreadAfterException);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI runBody(void* body) {
    (*static_cast<const std::function<void()>*>(body))();
    return 0;
}

}  // namespace

StructuredOutcome runCatchingStructured(const std::function<void()>& body) {
    static const PVOID handler = AddVectoredExceptionHandler(1, onException);
    EXPECT_NE(nullptr, handler);
    g_outcome = StructuredOutcome{};
    DWORD threadId = 0;
    const HANDLE thread = CreateThread(nullptr, 0, runBody, const_cast<std::function<void()>*>(&body),
                                       CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
        ADD_FAILURE() << "CreateThread failed";
        return g_outcome;
    }
    g_guardedThread = threadId;
    ResumeThread(thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    DWORD exitCode = 0;
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    g_guardedThread = 0;
    EXPECT_EQ(g_outcome.raised, exitCode == kEndedByException);
    return g_outcome;
}

HRESULT STDMETHODCALLTYPE CountedSink::QueryInterface(REFIID iid, void** object) {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(_ICOMClientEvents))) {
        AddRef();
        *object = static_cast<_ICOMClientEvents*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CountedSink::Release() {
    std::lock_guard<std::mutex> lock(releasedMutex_);
    const long left = --references_;
    released_.notify_all();
    return left;
}

bool CountedSink::waitUntilReleased(unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(releasedMutex_);
    return released_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return references_ == 0; });
}

void forEachEventObject(SAFEARRAY* events, const std::function<void(IUnknown*)>& visit) {
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(events, 1, &lower);
    SafeArrayGetUBound(events, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT element;
        VariantInit(&element);
        SafeArrayGetElement(events, &i, &element);
        if (element.vt == VT_UNKNOWN && element.punkVal != nullptr) {
            visit(element.punkVal);
        }
        VariantClear(&element);
    }
}

HRESULT connect(IComClient* client, const wchar_t* user, const wchar_t* password) {
    return client->Connect(TestBstr(user).get(), TestBstr(password).get());
}

long connectionState(IComClient* client) {
    long state = -1;
    EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
    return state;
}
