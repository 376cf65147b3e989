// Decoupled delivery (gateway_setDeliveryQueue): the event sink translates an event on the client's
// thread, copies what the host will receive into an Item and queues it; one delivery thread of the
// gateway's own hands the items to the host one at a time, in the order they were queued. The client's
// thread is held only while the queue is full, never by a slow callback.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "support/Win32Helper.h"

namespace delivery {

// The host's setting: 0 (direct delivery) or a capacity of 1 to kMaxCapacity items. Process-wide like
// the options, so it survives gateway_Close; a gateway object reads it at each gateway_Init.
constexpr int32_t kMaxCapacity = 1000000;
// Out of range: false and an error line, nothing changes. Otherwise true and an info line.
bool setCapacity(int32_t capacity);
int32_t capacity();

// One callback the delivery thread is to make, with copies of everything it passes.
struct Item {
    enum class Kind : uint8_t { Access, ObjectState, Generic, Disconnect, Report };
    Kind kind = Kind::Generic;
    // Events: eventId, objectId, objectType, type, subType, state, stateType (the generic callback uses
    // eventId, type and subType). Reports: state, attempt, hresult in the first three.
    int32_t values[7] = {};
    int64_t timestampMs = 0;
    int64_t serverTimeMs = 0;
    // The event's texts one after the other, each followed by a NUL, in the order the callback takes them.
    std::wstring texts;
    uint8_t textCount = 0;
    uint32_t textStart[5] = {};
    // The time-stamp counter when it was queued.
    uint64_t queuedTicks = 0;

    bool isEvent() const { return kind <= Kind::Generic; }
    // Appends the next text in the form the host receives it.
    void addText(const CComBSTR& text, Win32Helper::TextForm form);
    const wchar_t* text(int index) const { return texts.c_str() + textStart[index]; }
};

// One queue with its delivery thread, owned by a gateway object from the gateway_Init that found the
// setting on until gateway_Close. `deliver` runs on the delivery thread, one item at a time; the thread
// is inside a delivery scope for its whole life, so the exports refused inside a callback are refused
// there too.
class Queue {
public:
    // Starts the thread; throws std::system_error when it cannot be started.
    Queue(int32_t capacity, std::function<void(Item&)> deliver);
    // Stops as stop() does.
    ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    void setCapacity(int32_t capacity);

    // Queues `item` (its queuedTicks set here). An event waits while the queue is full, unless the caller
    // is the delivery thread itself (a client that delivers synchronously from inside a callback) or the
    // delivery thread is inside a door or point export (see beginClientRequest); reports never wait. False
    // when the queue has been stopped: the item is discarded (an event is counted as discarded at Close).
    bool push(Item&& item);

    // The delivery thread calls a door or point export from a callback: until the matching
    // endClientRequest, the client's deliveries do not wait for room, so that a client that serialises its
    // requests with its deliveries answers the request instead of waiting for the delivery thread forever.
    // Once the export has returned the capacity holds again. True on the delivery thread (nests); nothing
    // and false on any other thread.
    bool beginClientRequest();
    // Ends what a beginClientRequest that returned true began. On the delivery thread.
    void endClientRequest();

    // Ends the thread after the item in progress; what is still queued is discarded, counted and named
    // in one Info line ("<operation> discarded ..."). Every push from now on is refused. Not on the
    // delivery thread.
    void stop(const char* operation);
    // Waits until everything queued has been delivered, then ends the thread (the delivery queue is being
    // turned off). Events queued meanwhile are delivered too. Not on the delivery thread.
    void drain();

private:
    void run();
    void endThread();

    std::function<void(Item&)> m_deliver;
    std::mutex m_mutex;
    std::condition_variable m_itemsOrStop;  // the delivery thread waits on it
    std::condition_variable m_room;         // a client delivery waits on it for room, drain() for the end
    std::deque<Item> m_items;
    size_t m_capacity;
    bool m_stopping = false;   // stop(): refuse and discard
    bool m_draining = false;   // drain(): end once empty
    int m_requests = 0;        // door or point exports in progress on the delivery thread
    bool m_sleeping = false;   // the delivery thread waits on m_itemsOrStop
    std::atomic<size_t> m_size{0};  // m_items.size(), for the delivery thread's look before it sleeps
    std::atomic<DWORD> m_threadId{0};  // the delivery thread's while it runs
    std::thread m_thread;
};

}  // namespace delivery
