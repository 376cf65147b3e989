#include "LeakAccounting.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace leaks {
namespace {

// The size PreAlloc was asked for, until PostAlloc on the same thread records the block.
thread_local SIZE_T t_requestedSize = 0;
std::atomic<FreeExaminer> g_examiner{nullptr};

// Tracks block addresses and sizes, so a free of a block allocated before the spy was registered is
// ignored and a block can be examined before it is freed.
class CountingSpy : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == IID_IMallocSpy) {
            *object = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives for the whole process: counting references would only add noise.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override {
        t_requestedSize = size;
        return size;
    }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override {
        if (actual != nullptr) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_blocks[actual] = t_requestedSize;
        }
        return actual;
    }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto block = m_blocks.find(request);
        if (block != m_blocks.end()) {
            if (FreeExaminer examine = g_examiner.load()) {
                examine(block->first, block->second);
            }
            m_blocks.erase(block);
        }
        return request;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** newRequest, BOOL) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reallocFrom = request;
        t_requestedSize = size;
        *newRequest = request;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_blocks.erase(m_reallocFrom) > 0 && actual != nullptr) {
            m_blocks[actual] = t_requestedSize;
        }
        return actual;
    }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

    long outstanding() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<long>(m_blocks.size());
    }

private:
    std::mutex m_mutex;
    std::unordered_map<void*, SIZE_T> m_blocks;
    void* m_reallocFrom = nullptr;
};

CountingSpy g_spy;
std::once_flag g_registered;

}  // namespace

void startTracking() {
    std::call_once(g_registered, [] { ::CoRegisterMallocSpy(&g_spy); });
}

long outstandingAllocations() {
    return g_spy.outstanding();
}

void examineFrees(FreeExaminer examine) {
    g_examiner.store(examine);
}

}  // namespace leaks
