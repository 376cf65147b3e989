// Many threads at once: four simulator threads deliver events while two host threads list doors, read
// points, send commands, change callbacks and the drop duration. Every event sent is either translated or
// dropped, an event reaches the host at most once, nothing deadlocks and nothing leaks.
#include <atomic>
#include <climits>
#include <cwchar>
#include <set>
#include <thread>

#include "EventFixture.h"

namespace {

constexpr int kSenders = 4;
constexpr int kEventsPerSender = 150;
constexpr int32_t kFirstEventId = 700000;  // apart from the ids of the command events

const wchar_t kDropLinePrefix[] = L"SiPass Drop old AccessEvent. Timestamp was: ";
const wchar_t kGenericDropLinePrefix[] = L"Drop old GenericEvent. Timestamp was: ";

bool startsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The event id a debug line shows (" EventID: n|" or " EventId: n|"), or -1.
long eventIdOf(const std::wstring& line) {
    for (const wchar_t* label : {L" EventID: ", L" EventId: "}) {
        const size_t at = line.find(label);
        if (at != std::wstring::npos) {
            return std::wcstol(line.c_str() + at + std::wcslen(label), nullptr, 10);
        }
    }
    return -1;
}

}  // namespace

using Stress = EventTest;

TEST_F(Stress, EventsFromFourThreadsWhileTheHostWorksAreAllAccountedFor) {
    // Stamped long ago: kept under INT_MAX, dropped under 0, so the drop duration decides per event. The
    // events of the commands are stamped now and never dropped; their ids lie elsewhere.
    const DATE stamp = oleDate(2024, 2, 29, 13, 45, 30);
    std::atomic<int> sendersLeft{kSenders};
    std::atomic<int> failedDeliveries{0};
    std::vector<std::thread> threads;
    for (int sender = 0; sender < kSenders; ++sender) {
        threads.emplace_back([&, sender] {
            for (int i = 0; i < kEventsPerSender; ++i) {
                const int kind = (sender + i) % 3;
                sim::EventObject event = kind == 0   ? accessEvent(stamp)
                                         : kind == 1 ? objectStateEvent(stamp)
                                                     : genericEvent(stamp);
                event.eventId = kFirstEventId + sender * kEventsPerSender + i;
                if (!sim::deliverEvent(event)) {
                    ++failedDeliveries;
                }
            }
            --sendersLeft;
        });
    }
    std::atomic<int> hostFailures{0};
    threads.emplace_back([&] {
        for (int round = 0; sendersLeft > 0; ++round) {
            Device* devices = nullptr;
            int32_t deviceCount = 0, doorCount = 0;
            if (!library.getAllDoors(&devices, &deviceCount, &doorCount)) {
                ++hostFailures;
            }
            library.cleanupDoorArray(devices, deviceCount);
            PointState state{};
            if (library.getPointState(1015, &state)) {
                library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
            } else {
                ++hostFailures;
            }
            if (round % 8 == 0) {
                library.controlDoor(7, 1015, round % 16 == 0 ? sim::kCommandLock : sim::kCommandUnlock);
            }
        }
    });
    threads.emplace_back([&] {
        for (int round = 0; sendersLeft > 0; ++round) {
            // The access callback stays; the other two come and go.
            library.RegisterAlarmStateCallback(round % 2 == 0 ? nullptr : &recordState);
            library.RegisterGenericEventCallback(round % 3 == 0 ? nullptr : &recordGeneric);
            library.RegisterAlarmAccessCallback(&recordAccess);
            library.setDropDuration(round % 4 == 0 ? 0 : INT_MAX);
            library.RegisterEvent(6, 2, 3006);
            std::this_thread::yield();
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_EQ(0, failedDeliveries.load()) << "a delivery did not end in time";
    EXPECT_EQ(0, hostFailures.load());
    ASSERT_TRUE(sim::waitForCommandEvents(20000));

    // Each event of ours ends in exactly one line: its debug line when kept, a drop line when dropped.
    const std::wstring droppedStamp = L"13:45:30 Thursday, February 29, 2024";
    size_t kept = 0, dropped = 0;
    for (const std::wstring& text : log.texts()) {
        if ((startsWith(text, kDropLinePrefix) || startsWith(text, kGenericDropLinePrefix)) &&
            text.find(droppedStamp) != std::wstring::npos) {
            ++dropped;
        } else if (eventIdOf(text) >= kFirstEventId) {
            ++kept;
        }
    }
    EXPECT_EQ(static_cast<size_t>(kSenders * kEventsPerSender), kept + dropped);
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(kept, 0u);

    // No event of ours reached the host twice.
    size_t ours = 0;
    for (const auto& [id, times] : g_received.eventIdsFrom(kFirstEventId)) {
        ours += times;
        EXPECT_EQ(1, times) << "event " << id << " delivered " << times << " times";
    }
    EXPECT_LE(ours, kept);
    EXPECT_GT(ours, 0u);
}
