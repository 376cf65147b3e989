// A mutex that records which thread holds it. The gateway delivers events and calls the host with its
// mutex held; a host callback that calls back into an operation taking the same mutex (or one that waits
// for the delivery to end, as gateway_Close does) would wait for its own thread forever. The holder's
// thread id lets such a call be recognised and refused instead.
#pragma once

#include <windows.h>

#include <atomic>

#include <boost/thread/mutex.hpp>

class OwnedMutex {
public:
    // Lockable, for boost::lock_guard. The owner is recorded after the lock is taken and cleared before it
    // is released, so it names a thread only while that thread holds the lock.
    void lock() {
        m_mutex.lock();
        m_owner.store(::GetCurrentThreadId(), std::memory_order_relaxed);
    }
    bool try_lock() {
        if (!m_mutex.try_lock()) {
            return false;
        }
        m_owner.store(::GetCurrentThreadId(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        m_owner.store(0, std::memory_order_relaxed);
        m_mutex.unlock();
    }

    // True on the thread that holds the lock. Any thread may ask: only the holder ever writes its own id,
    // so another thread can never read its own id here, whatever it races with. (0 is never a thread id.)
    bool heldByThisThread() const {
        return m_owner.load(std::memory_order_relaxed) == ::GetCurrentThreadId();
    }

private:
    boost::mutex m_mutex;
    std::atomic<DWORD> m_owner{0};
};
