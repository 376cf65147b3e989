#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "support/Boundary.h"
#include "LogCapture.h"
#include "support/SehGuard.h"

namespace {

int* volatile g_nowhere = nullptr;

__attribute__((noinline)) void accessViolation() {
    *g_nowhere = 1;
}

void msvcThrow() {
    ULONG_PTR parameters[3] = {0x19930520, 0, 0};
    ::RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 3, parameters);
}

}  // namespace

TEST(StructuredExceptionGuard, CatchesAccessViolationsRepeatedlyOnOneThread) {
    for (int i = 0; i < 3; ++i) {
        seh::Outcome outcome = seh::runGuarded([] { accessViolation(); });
        EXPECT_TRUE(outcome.raised);
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), outcome.code);
    }
}

TEST(StructuredExceptionGuard, CatchesTheCppExceptionOfAnMsvcModule) {
    seh::Outcome outcome = seh::runGuarded([] { msvcThrow(); });
    EXPECT_TRUE(outcome.raised);
    EXPECT_EQ(0xE06D7363u, outcome.code);
}

TEST(StructuredExceptionGuard, LeavesExceptionsThatAnInnerHandlerTakes) {
    bool innerCaught = false;
    seh::Outcome outer =
        seh::runGuarded([&] { innerCaught = seh::runGuarded([] { accessViolation(); }).raised; });
    EXPECT_TRUE(innerCaught);
    EXPECT_FALSE(outer.raised);
}

TEST(StructuredExceptionGuard, HandsCppExceptionsBackAndRunsNormalCallsThrough) {
    seh::Outcome thrown = seh::runGuarded([] { throw std::runtime_error("x"); });
    EXPECT_FALSE(thrown.raised);
    ASSERT_TRUE(thrown.cpp);
    EXPECT_THROW(std::rethrow_exception(thrown.cpp), std::runtime_error);

    int calls = 0;
    seh::Outcome normal = seh::runGuarded([&] { ++calls; });
    EXPECT_FALSE(normal.raised);
    EXPECT_FALSE(normal.cpp);
    EXPECT_EQ(1, calls);
}

TEST(StructuredExceptionGuard, WorksOnOtherThreads) {
    bool raised = false;
    std::thread worker([&] { raised = seh::runGuarded([] { accessViolation(); }).raised; });
    worker.join();
    EXPECT_TRUE(raised);
}

#if defined(__x86_64__)
extern "C" void test_foreign_frame_raising(void (*onUnwind)());

namespace {

bool g_innerRaised = true;

void guardedCallWhileUnwinding() {
    g_innerRaised = seh::runGuarded([] {}).raised;
}

}  // namespace

// Regression: a guarded call made by a foreign frame's unwind handler (a __finally, the destructor of an
// MSVC-built module during its exception) found the catch of the guard outside it, reported a raise of
// its own and took that catch away, so the outer guard reported a normal return for a call that raised.
TEST(StructuredExceptionGuard, AGuardedCallInAForeignUnwindHandlerLeavesTheOuterCatchAlone) {
    const seh::Outcome outer = seh::runGuarded([] { test_foreign_frame_raising(&guardedCallWhileUnwinding); });
    EXPECT_FALSE(g_innerRaised) << "the inner call took the outer guard's catch";
    EXPECT_TRUE(outer.raised);
    EXPECT_EQ(0xE06D7363u, outer.code);
    EXPECT_FALSE(seh::runGuarded([] {}).raised) << "a catch outlived its guard";
}
#endif

// The guard notes a catch in a TLS slot of the thread block. Run alone (as CTest runs each test), this
// takes every one of those slots before the guard's first use, so that the guard has to note it elsewhere.
TEST(StructuredExceptionGuard, WorksWithEveryTlsSlotOfTheThreadBlockTaken) {
    std::vector<DWORD> taken;
    for (DWORD slot = ::TlsAlloc(); slot != TLS_OUT_OF_INDEXES; slot = ::TlsAlloc()) {
        taken.push_back(slot);
        if (slot >= 64) {
            break;  // the first slot past the thread block's own
        }
    }
    auto check = [] {
        EXPECT_FALSE(seh::runGuarded([] {}).raised) << "a normal call is no catch";
        seh::Outcome fault = seh::runGuarded([] { accessViolation(); });
        EXPECT_TRUE(fault.raised);
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), fault.code);
        bool innerCaught = false;
        seh::Outcome outer =
            seh::runGuarded([&] { innerCaught = seh::runGuarded([] { msvcThrow(); }).raised; });
        EXPECT_TRUE(innerCaught);
        EXPECT_FALSE(outer.raised) << "the inner catch reached the outer guard";
        EXPECT_FALSE(seh::runGuarded([] {}).raised) << "a catch outlived its guard";
    };
    check();
    std::thread other(check);
    other.join();
    for (DWORD slot : taken) {
        ::TlsFree(slot);
    }
}

TEST(HostCallGuard, LogsWhatAHostCallbackRaisesAndGoesOn) {
    LogCapture capture;
    SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);
    EXPECT_FALSE(boundary::callHost("m_Callback", [] { throw std::runtime_error("host failure"); }));
    EXPECT_FALSE(boundary::callHost("m_Callback", [] { throw 42; }));
    EXPECT_FALSE(boundary::callHost("m_Callback", [] { accessViolation(); }));
    EXPECT_TRUE(boundary::callHost("m_Callback", [] {}));
    SimpleLogger::GetInstance()->setLogger(nullptr);
    EXPECT_EQ((std::vector<LogLine>{{1, L"Exception m_Callback: host failure"},
                                    {1, L"Exception m_Callback: unknown exception"},
                                    {1, L"Exception m_Callback: structured exception 0xC0000005"}}),
              capture.lines());
}

TEST(ExportGuard, TurnsAnExceptionIntoTheFallbackAndALogLine) {
    LogCapture capture;
    SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);
    bool result = boundary::guard("gateway_Test", false, []() -> bool { throw std::bad_alloc(); });
    SimpleLogger::GetInstance()->setLogger(nullptr);
    EXPECT_FALSE(result);
    ASSERT_EQ(1u, capture.lines().size());
    EXPECT_EQ(0u, capture.lines()[0].text.find(L"Exception in gateway_Test: "));
}
