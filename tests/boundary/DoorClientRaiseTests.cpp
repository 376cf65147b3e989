// A client that raises inside a door or point export (an access violation, an MSVC C++ exception): the
// export fails as after a failed client call, names the raise in its Error line and its last error, and
// keeps nothing of what it held: no host record, no array or text of the client, no reference to the
// client or its objects once gateway_Close has released the client.
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DoorHeapTracker.h"
#include "DoorTestSupport.h"

namespace {

constexpr long kFirstPoint = 101;
constexpr long kLatch = kFirstPoint + 4;

struct DoorExport {
    const char* name;
    std::function<bool()> call;
    // Checks the outputs as a failure leaves them.
    std::function<void()> expectFailedOutputs;
    // Gives back what a successful call handed the host.
    std::function<void()> release;
};

// The methods a clean call reaches on the client and its objects, each once, in the order of its first
// call. Left out: Release, which the second test takes call by call, and COM's own calls of the class
// factory's AddRef and Release, which it makes with its registration lock held (a raise there breaks COM,
// not the gateway).
std::vector<std::string> methodsReachedBy(const DoorExport& call) {
    sim::startCallTrace();
    EXPECT_TRUE(call.call()) << call.name << " fails without a fault";
    const std::vector<std::string> trace = sim::stopCallTrace();
    call.release();
    std::vector<std::string> methods;
    for (const std::string& method : trace) {
        if (method == "IUnknown::Release" || method == "IClassFactory::AddRef" ||
            method == "IClassFactory::Release") {
            continue;
        }
        if (std::find(methods.begin(), methods.end(), method) == methods.end()) {
            methods.push_back(method);
        }
    }
    return methods;
}

class DoorClientRaises : public DoorTest {
protected:
    // The three exports on one device with one door set.
    std::vector<DoorExport> doorExports() {
        return {
            {"gateway_getAllDoors", [this] { return getAllDoors(); },
             [this] {
                 EXPECT_EQ(nullptr, devices);
                 EXPECT_EQ(0, deviceCount);
                 EXPECT_EQ(0, doorCount);
             },
             [this] { releaseDoors(); }},
            {"gateway_getPointState",
             [this] {
                 state = untouchedState();
                 return library.getPointState(kFirstPoint, &state);
             },
             [this] { EXPECT_TRUE(isUntouched(state)) << "a failure leaves the record as it was"; },
             [this] { library.cleanupPointDefinition(PointDefinition{0, nullptr, state}); }},
            {"gateway_controlDoor",
             [this] {
                 commandsBefore = sim::sentCommands().size();
                 return library.controlDoor(7, kLatch, sim::kCommandUnlock);
             },
             [this] { EXPECT_EQ(commandsBefore, sim::sentCommands().size()) << "a command was sent"; },
             [this] { EXPECT_TRUE(sim::waitForCommandEvents()); }},
        };
    }

    // One device with one door set, the balances before the first login, and one raise on this thread
    // before a test counts the DLL's heap: the first exception thrown on a thread has the C++ runtime
    // allocate blocks that stay with the thread.
    void prepareSite() {
        sim::clearSite();
        sim::addDevice(testsite::device(1, L"Eins", 1, kFirstPoint));
        objectsBefore = sim::liveObjects();
        allocationsBefore = leaks::outstandingAllocations();
        login();
        sim::raiseInMethod("IComClient::GetByType", sim::Raise::AccessViolation);
        EXPECT_FALSE(getAllDoors());
        sim::clearFaults();
        EXPECT_TRUE(library.Close());
    }

    PointState state = untouchedState();
    size_t commandsBefore = 0;
    long objectsBefore = 0;
    long allocationsBefore = 0;
};

}  // namespace

// Regression: the frames between the client's raise and the export's guard were abandoned without their
// destructors, so the snapshot of the client, the device list, partly built records and texts leaked,
// and the client outlived gateway_Close.
TEST_F(DoorClientRaises, AtAnyMethodFailsTheExportAndLeavesNothingAfterClose) {
    prepareSite();

    const struct {
        sim::Raise what;
        const wchar_t* text;
    } raises[] = {{sim::Raise::AccessViolation, L"structured exception 0xC0000005"},
                  {sim::Raise::MsvcCppException, L"structured exception 0xE06D7363"}};

    for (const DoorExport& door : doorExports()) {
        login();
        const std::vector<std::string> methods = methodsReachedBy(door);
        EXPECT_TRUE(library.Close());
        ASSERT_GE(methods.size(), 3u) << door.name;
        const std::string exportName = door.name;
        const std::wstring line =
            L"Exception in " + std::wstring(exportName.begin(), exportName.end()) + L": ";
        for (const std::string& method : methods) {
            for (const auto& raise : raises) {
                SCOPED_TRACE(exportName + ", " + method +
                             (raise.what == sim::Raise::AccessViolation ? ", access violation" : ", MSVC"));
                login();
                DllHeapTracker heap(library.module());
                ASSERT_TRUE(heap.active());
                sim::raiseInMethod(method, raise.what);
                EXPECT_FALSE(door.call());
                sim::clearFaults();
                door.expectFailedOutputs();

                const std::vector<std::wstring> texts = log.texts();
                EXPECT_EQ(1, std::count(texts.begin(), texts.end(), line + raise.text))
                    << "the raise's line, once";
                wchar_t text[1024] = L"";
                EXPECT_EQ(GATEWAY_E_RAISED, library.GetLastError(text, 1024));
                EXPECT_EQ(line + raise.text, text);
                EXPECT_TRUE(heap.live().empty()) << heap.live().size() << " blocks of the DLL left";
                // Nothing the export holds (a lock, a reference) outlasts the raise: it works again.
                EXPECT_TRUE(door.call());
                door.release();
                EXPECT_TRUE(heap.live().empty()) << heap.live().size() << " blocks of the DLL left";

                EXPECT_TRUE(library.Close());
                // The client's factory queries the command object it has just made inside
                // CoCreateInstance: raising there abandons the client's own frame that holds the object.
                const long keptByTheClient = method == "IUnknown::QueryInterface(IManualCommand)" ? 1 : 0;
                EXPECT_EQ(objectsBefore + keptByTheClient, sim::liveObjects())
                    << "client objects outlived Close";
                objectsBefore += keptByTheClient;
                allowObjectsKeptByTheClient(keptByTheClient);
                EXPECT_EQ(allocationsBefore, leaks::outstandingAllocations()) << "arrays or texts left";
            }
        }
    }
}

// Regression: a Release that raised abandoned the export's frames between it and the export's guard. The
// export failed after its work was done, and what it held (the snapshot of the client, the client's
// arrays with the other objects in them, the records built so far) stayed behind for good.
TEST_F(DoorClientRaises, InAReleaseCostsOnlyThatOneReference) {
    prepareSite();
    const std::wstring releaseLine = L"Exception in IUnknown::Release: structured exception 0xC0000005";

    for (const DoorExport& door : doorExports()) {
        login();
        sim::startCallTrace();
        EXPECT_TRUE(door.call()) << door.name << " fails without a fault";
        const std::vector<std::string> trace = sim::stopCallTrace();
        door.release();
        EXPECT_TRUE(library.Close());
        int releasesByTheExport = 0;
        for (size_t position = 0; position < trace.size(); ++position) {
            if (trace[position] != "IUnknown::Release") {
                continue;
            }
            SCOPED_TRACE(std::string(door.name) + ", the Release at call " + std::to_string(position));
            login();
            DllHeapTracker heap(library.module());
            ASSERT_TRUE(heap.active());
            sim::armCallFault(static_cast<int>(position), sim::CallFault::Raise);
            const bool done = door.call();
            ASSERT_EQ(std::optional<std::string>("IUnknown::Release"), sim::appliedCallFault());
            const std::vector<std::wstring> texts = log.texts();
            wchar_t text[1024] = L"";
            const int32_t lastError = library.GetLastError(text, 1024);
            if (done) {
                // One of the export's own references: the raise is logged and the work stands.
                ++releasesByTheExport;
                EXPECT_EQ(1, std::count(texts.begin(), texts.end(), releaseLine));
                EXPECT_EQ(0, lastError) << "the export succeeded";
                door.release();
            } else {
                // A Release COM makes inside CoCreateInstance, under the guard of that call: the export
                // fails as at any raise of the client.
                EXPECT_EQ(std::string("gateway_controlDoor"), door.name);
                EXPECT_EQ(GATEWAY_E_RAISED, lastError);
                door.expectFailedOutputs();
            }
            EXPECT_TRUE(heap.live().empty()) << heap.live().size() << " blocks of the DLL left";

            EXPECT_TRUE(library.Close());
            EXPECT_EQ(objectsBefore + 1, sim::liveObjects()) << "only the object whose Release raised stays";
            objectsBefore = sim::liveObjects();
            allowObjectsKeptByTheClient(1);
            EXPECT_EQ(allocationsBefore, leaks::outstandingAllocations()) << "arrays or texts left";
        }
        // The snapshot of the client and the objects the export asks for, at least.
        EXPECT_GE(releasesByTheExport, 2) << door.name;
    }
}
