#include "gateway/DeliveryQueue.h"

#include <immintrin.h>
#include <intrin.h>

#include <atomic>

#include "gateway/ProcessGateway.h"
#include "support/Boundary.h"
#include "support/SimpleLogger.h"
#include "support/Statistics.h"

namespace delivery {

namespace {

std::atomic<int32_t> g_capacity{0};

// How long the delivery thread looks for the next item before it sleeps: a few microseconds.
constexpr int kSpinsBeforeSleep = 2000;

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

const char* kindName(Item::Kind kind) {
    switch (kind) {
        case Item::Kind::Access:
            return "access";
        case Item::Kind::ObjectState:
            return "object state";
        default:
            return "generic";
    }
}

// The line that names what a stop discarded: the count, then kind and id of up to ten events.
std::string discardedLine(const char* operation, const std::deque<Item>& items) {
    size_t events = 0;
    std::string named;
    for (const Item& item : items) {
        if (!item.isEvent()) {
            continue;
        }
        if (++events <= 10) {
            named += events == 1 ? ": " : ", ";
            named += kindName(item.kind);
            named += ' ';
            named += std::to_string(item.values[0]);
        }
    }
    if (events > 10) {
        named += " and " + std::to_string(events - 10) + " more";
    }
    return std::string(operation) + " discarded " + std::to_string(events) +
           (events == 1 ? " queued event" : " queued events") + named + ".";
}

}  // namespace

bool setCapacity(int32_t capacity) {
    if (capacity < 0 || capacity > kMaxCapacity) {
        logger().errLog("gateway_setDeliveryQueue: the capacity " + std::to_string(capacity) +
                        " is outside 0 to 1000000; the setting stays as it was.");
        return false;
    }
    g_capacity.store(capacity, std::memory_order_relaxed);
    logger().log(capacity == 0 ? std::string("gateway_setDeliveryQueue: events are delivered on the client's "
                                             "thread from the next gateway_Init.")
                               : "gateway_setDeliveryQueue: events are delivered through a queue of " +
                                     std::to_string(capacity) + " from the next gateway_Init.");
    return true;
}

int32_t capacity() {
    return g_capacity.load(std::memory_order_relaxed);
}

void Item::addText(const CComBSTR& text, Win32Helper::TextForm form) {
    const Win32Helper::CallbackText converted(text, form);
    textStart[textCount++] = static_cast<uint32_t>(texts.size());
    texts += converted.c_str();
    texts += L'\0';
}

Queue::Queue(int32_t capacity, std::function<void(Item&)> deliver)
    : m_deliver(std::move(deliver)), m_capacity(static_cast<size_t>(capacity)) {
    // The thread is an entry point of the library like an export: nothing escapes it.
    m_thread = std::thread([this] { boundary::guard("the delivery thread", [this] { run(); }); });
}

Queue::~Queue() {
    stop("The gateway");
}

void Queue::setCapacity(int32_t capacity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_capacity = static_cast<size_t>(capacity);
    m_room.notify_all();
}

bool Queue::push(Item&& item) {
    statistics::Counters& counted = statistics::counters();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (item.isEvent() && m_items.size() >= m_capacity && !m_stopping && m_requests == 0 &&
        ::GetCurrentThreadId() != m_threadId) {
        const uint64_t start = __rdtsc();
        m_room.wait(lock, [this] { return m_items.size() < m_capacity || m_stopping || m_requests > 0; });
        statistics::add(counted.queueFullWaits);
        counted.queueFullWaitTicks.fetch_add(__rdtsc() - start, std::memory_order_relaxed);
    }
    if (m_stopping) {
        lock.unlock();
        if (item.isEvent()) {
            statistics::add(counted.discardedAtClose);
        }
        return false;
    }
    item.queuedTicks = __rdtsc();
    m_items.push_back(std::move(item));
    const uint64_t queued = counted.queued.fetch_add(1, std::memory_order_relaxed) + 1;
    statistics::raiseTo(counted.queueHighWater, queued);
    m_size.store(m_items.size(), std::memory_order_release);
    // A delivery thread that is busy, or still looking before it sleeps, needs no wake-up (which costs a
    // system call on both sides).
    if (m_sleeping) {
        m_itemsOrStop.notify_one();
    }
    return true;
}

bool Queue::beginClientRequest() {
    if (::GetCurrentThreadId() != m_threadId) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_requests++ == 0) {
        m_room.notify_all();
    }
    return true;
}

void Queue::endClientRequest() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_requests > 0) {
        --m_requests;
    }
}

void Queue::run() {
    const HRESULT joined = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // For the whole life of the thread: a callback here, and the log function during one, are refused
    // what they are refused inside any gateway callback.
    processGateway::DeliveryScope scope;
    statistics::Counters& counted = statistics::counters();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_threadId.store(::GetCurrentThreadId());
    for (;;) {
        if (m_items.empty() && !m_stopping && !m_draining) {
            // A client that delivers a burst queues the next event within microseconds: look for it a
            // little while before going to sleep.
            lock.unlock();
            for (int spins = 0; spins < kSpinsBeforeSleep && m_size.load(std::memory_order_acquire) == 0; ++spins) {
                _mm_pause();
            }
            lock.lock();
            m_sleeping = true;
            m_itemsOrStop.wait(lock, [this] { return !m_items.empty() || m_stopping || m_draining; });
            m_sleeping = false;
        }
        if (m_stopping || m_items.empty()) {
            break;
        }
        Item item = std::move(m_items.front());
        m_items.pop_front();
        m_size.store(m_items.size(), std::memory_order_release);
        counted.queued.fetch_sub(1, std::memory_order_relaxed);
        m_room.notify_all();
        lock.unlock();
        if (item.isEvent()) {
            statistics::raiseTo(counted.longestQueueWaitTicks, __rdtsc() - item.queuedTicks);
        }
        // Each item under a guard of its own: a fault in one costs that item, not the thread.
        boundary::guard("the delivery thread", [&] { m_deliver(item); });
        lock.lock();
        // An export whose end was never seen (its frame abandoned by a raise) lifts the capacity no longer.
        m_requests = 0;
    }
    m_threadId.store(0);
    m_room.notify_all();
    lock.unlock();
    if (SUCCEEDED(joined)) {
        ::CoUninitialize();
    }
}

void Queue::endThread() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void Queue::stop(const char* operation) {
    std::deque<Item> discarded;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            return;
        }
        m_stopping = true;
        discarded.swap(m_items);
        m_size.store(0, std::memory_order_release);
        m_itemsOrStop.notify_all();
        m_room.notify_all();
    }
    endThread();
    statistics::Counters& counted = statistics::counters();
    counted.queued.fetch_sub(discarded.size(), std::memory_order_relaxed);
    size_t events = 0;
    for (const Item& item : discarded) {
        events += item.isEvent() ? 1 : 0;
    }
    counted.discardedAtClose.fetch_add(events, std::memory_order_relaxed);
    if (events != 0) {
        logger().log(discardedLine(operation, discarded));
    }
}

void Queue::drain() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_draining = true;
        m_itemsOrStop.notify_all();
    }
    endThread();
    stop("Turning the delivery queue off");
}

}  // namespace delivery
