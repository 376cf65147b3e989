// The login password: no log line shows it, and every copy the gateway makes of it (the BSTR it hands
// the client, its wide strings) is overwritten before it is freed, so no freed block still holds it.
#include <atomic>
#include <cstring>
#include <malloc.h>
#include <string>

#include "BoundaryTest.h"
#include "DoorHeapTracker.h"

namespace {

// Long enough to live on the heap in every copy, and unlike any other text of the tests.
const wchar_t kSecret[] = L"Pw-7f3a9c1e-d2b4-4e8f-91a6-0c5b7e2d4f18";

std::atomic<int> g_blocksWithSecret{0};
std::atomic<int> g_blocksFreed{0};

void SIPASSVORMEKGATEWAY_CALL ignoreState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                          int64_t, int64_t, const wchar_t*, const wchar_t*) {}

bool holdsSecret(const void* block, size_t size) {
    const size_t secretBytes = (sizeof kSecret) - sizeof(wchar_t);
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (size_t at = 0; at + secretBytes <= size; ++at) {
        if (std::memcmp(bytes + at, kSecret, secretBytes) == 0) {
            return true;
        }
    }
    return false;
}

// Runs inside the malloc spy's PreFree: only reads the block.
void findSecret(const void* block, size_t size) {
    ++g_blocksFreed;
    if (holdsSecret(block, size)) {
        ++g_blocksWithSecret;
    }
}

class Credentials : public BoundaryTest {
protected:
    void SetUp() override {
        BoundaryTest::SetUp();
        sim::addAccount(L"guard", kSecret);
        g_blocksWithSecret = 0;
        g_blocksFreed = 0;
    }
    void TearDown() override {
        leaks::examineFrees(nullptr);
        BoundaryTest::TearDown();
    }

    void expectSecretInNoLogLine() {
        for (const std::wstring& text : log.texts()) {
            EXPECT_EQ(std::wstring::npos, text.find(kSecret)) << text;
        }
    }
};

}  // namespace

TEST_F(Credentials, ASuccessfulLoginLeavesThePasswordInNoFreedBstrAndNoLogLine) {
    library.RegisterAlarmStateCallback(&ignoreState);
    leaks::examineFrees(&findSecret);
    ASSERT_TRUE(library.Init(L"guard", kSecret));
    EXPECT_TRUE(library.RegisterEvent(6, 2, 3006));
    EXPECT_TRUE(library.Close());
    leaks::examineFrees(nullptr);

    EXPECT_GT(g_blocksFreed.load(), 0) << "the spy saw no free: the test would prove nothing";
    EXPECT_EQ(0, g_blocksWithSecret.load());
    expectSecretInNoLogLine();
}

TEST_F(Credentials, ARejectedLoginLeavesTheTriedPasswordInNoFreedBstrAndNoLogLine) {
    leaks::examineFrees(&findSecret);
    ASSERT_FALSE(library.Init(L"operator", kSecret));
    EXPECT_TRUE(library.Close());
    leaks::examineFrees(nullptr);

    EXPECT_GT(g_blocksFreed.load(), 0);
    EXPECT_EQ(0, g_blocksWithSecret.load());
    EXPECT_TRUE(log.contains(L"Init() called."));
    expectSecretInNoLogLine();
}

// The wide strings: every C runtime block the DLL frees (std::wstring buffers come from its malloc) is
// examined just before it goes back to the heap.
TEST_F(Credentials, NoHeapBlockTheGatewayFreesHoldsThePasswordAfterALoginOrARejection) {
    DllHeapTracker heap(library.module());
    ASSERT_TRUE(heap.active());
    heap.examineFrees(&findSecret);
    ASSERT_TRUE(library.Init(L"guard", kSecret));
    EXPECT_TRUE(library.Close());
    ASSERT_FALSE(library.Init(L"operator", kSecret));
    EXPECT_TRUE(library.Close());
    heap.examineFrees(nullptr);

    EXPECT_GT(g_blocksFreed.load(), 0) << "the tracker saw no free: the test would prove nothing";
    EXPECT_EQ(0, g_blocksWithSecret.load());
}

// A client method that raises during the login must not abandon the frames that hold the password: no
// block of the DLL, freed or still live, and no COM block (the fixture's balance) keeps it.
TEST_F(Credentials, AClientThatRaisesDuringTheLoginLeavesThePasswordNowhere) {
    DllHeapTracker heap(library.module());
    ASSERT_TRUE(heap.active());
    heap.examineFrees(&findSecret);
    leaks::examineFrees(&findSecret);
    for (const char* method : {"IComClient::get_EventMask", "IComClient::put_EventMask", "IComClient::Connect",
                               "IUnknown::QueryInterface(IConnectionPointContainer)",
                               "IConnectionPointContainer::FindConnectionPoint", "IConnectionPoint::Advise"}) {
        sim::raiseInMethod(method, sim::Raise::AccessViolation);
        EXPECT_FALSE(library.Init(L"guard", kSecret)) << method;
        sim::clearFaults();
        EXPECT_TRUE(library.Close());
        int liveWithSecret = 0;
        for (void* block : heap.live()) {
            liveWithSecret += holdsSecret(block, ::_msize(block)) ? 1 : 0;
        }
        EXPECT_EQ(0, liveWithSecret) << method;
    }
    heap.examineFrees(nullptr);
    leaks::examineFrees(nullptr);
    EXPECT_GT(g_blocksFreed.load(), 0);
    EXPECT_EQ(0, g_blocksWithSecret.load());
    EXPECT_TRUE(log.contains(L"Exception in gateway_Init: structured exception 0xC0000005"));
    expectSecretInNoLogLine();
}
