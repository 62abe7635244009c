// The platform's Plug and Play manager, enough for the life of simulated units: it loads
// function drivers with their service keys, builds each unit's device stack when the unit
// arrives, starts it, enumerates the children its driver reports, and takes the tree down
// again in order or by surprise. Every request goes from the manager's own system thread;
// a caller's wait for it is a platform wait, so virtual time runs meanwhile. What the real
// manager relies on in the answers (pool, references, ID syntax) is checked and reported
// through the verifier.
// It lives in the simulation, not the platform, because the driver never calls it: it is
// the driver's caller, sending IRP_MN_* requests, like the bus that plugs the units. The
// routines of the PnP side that the driver does call (device interfaces, registry keys) are
// the I/O manager's, in the platform. The driver does not call IoInvalidateDeviceRelations;
// Reenumerate stands in for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/control.h"
#include "sim/usb_bus.h"

namespace sim {

enum class PnpState {
    Present,          // the PDO is known; no started stack (see problem)
    Started,
    Stopped,          // between a rebalance's stop and start
    SurpriseRemoved,  // waits for the last file object on its stacks before removal
    Removed,
};

// Why a present device has no started stack (the numbers are the platform's CM_PROB_*).
enum class PnpProblem : uint32_t {
    None = 0,
    FailedStart = 10,
    NoDriver = 28,
    FailedAdd = 31,
};

struct PnpNode {
    PDEVICE_OBJECT pdo = nullptr;  // referenced by the manager until the node is removed
    PnpNode* parent = nullptr;     // null for a device that arrived on the bus
    std::vector<PnpNode*> children;  // as the parent last reported them

    // What the PDO answered when it was found.
    std::u16string deviceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string instanceId;
    std::u16string description;
    std::u16string location;
    DEVICE_CAPABILITIES capabilities{};
    bool capabilitiesRead = false;
    std::vector<PnpNode*> removalAsked;  // the stacks a query-remove on this node asked

    PDRIVER_OBJECT driver = nullptr;  // the function driver whose AddDevice took it
    std::atomic<PnpState> state{PnpState::Present};
    std::atomic<PnpProblem> problem{PnpProblem::None};
    NTSTATUS problemStatus = STATUS_SUCCESS;  // what the failed AddDevice or start returned

    bool Started() const { return state.load() == PnpState::Started; }
    // The device at the top of the node's stack (the PDO when nothing is attached).
    PDEVICE_OBJECT Top() const;
};

// A DWORD for the service key, e.g. {u"Interface", 2}.
using ServiceDword = std::pair<std::u16string, uint32_t>;

// Operations may come from several platform threads at once; the manager carries them out
// one at a time. A node's fields change only inside an operation: read them between
// operations, or its state and problem (atomics) at any time.
class PnpManager {
public:
    explicit PnpManager(UsbBus& bus);
    // Removes the devices still present (without asking), unloads the drivers that have no
    // devices left, and ends the manager's thread. A stack still waiting for a file to close
    // stays, for the session's leak report.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    static std::u16string ServiceKey(const std::u16string& service);
    // Creates the service key with the given values, runs the driver's entry once (driver
    // object \Driver\<service>) and registers it for the hardware IDs. Returns null when the
    // entry failed (its status in *status).
    PDRIVER_OBJECT LoadDriver(const std::u16string& service, PDRIVER_INITIALIZE entry,
                              const std::vector<std::u16string>& hardwareIds,
                              const std::vector<ServiceDword>& values = {}, NTSTATUS* status = nullptr);
    // The same for a driver from a native image file (see platform/host/native_image.h): the
    // image is loaded, its entry run, and unmapped after the driver unloads. Null with *error
    // saying why when the image does not load or its entry fails.
    PDRIVER_OBJECT LoadDriverImage(const std::u16string& service, const std::string& path,
                                   const std::vector<std::u16string>& hardwareIds,
                                   const std::vector<ServiceDword>& values, std::string* error);
    // Runs each loaded driver's unload routine once (in reverse order of loading); a driver
    // with devices left is a verifier violation and stays loaded.
    void UnloadDrivers();

    // A PDO the bus just plugged: identity, AddDevice, start, bus relations and the children
    // they report, recursively. Returns once all of it is done.
    PnpNode* Arrive(PDEVICE_OBJECT pdo);
    // Asks the node's stack for its bus relations again (IoInvalidateDeviceRelations): new
    // children are added and started, children no longer reported are removed.
    void Reenumerate(PnpNode* node);
    // Rebalance: query-stop (refused: cancel-stop), stop, start, bus relations. Returns the
    // refusal or the start's status.
    NTSTATUS Restart(PnpNode* node);
    // Query-remove on the subtree (children first), then cancel-remove to every stack asked.
    // Returns the first refusal, or success.
    NTSTATUS QueryRemoveThenCancel(PnpNode* node);
    // The halves of a vetoed removal or stop, one request each, for a caller that acts in
    // between: query-remove on the subtree (a refusal is cancelled at once and returned;
    // the stacks asked are kept for CancelRemove), cancel-remove to the stacks asked,
    // query-stop and cancel-stop to the node's own stack.
    NTSTATUS QueryRemove(PnpNode* node);
    NTSTATUS CancelRemove(PnpNode* node);
    NTSTATUS QueryStop(PnpNode* node);
    NTSTATUS CancelStop(PnpNode* node);
    // Returns once the work that earlier operations set off has been done (such as the
    // removal of a surprise-removed device whose last file object has just gone).
    void Settle();

    // Orderly departure of an arrived device: query-remove on the subtree (a refusal is
    // cancelled and returned), remove (children first), then the bus deletes the PDO.
    NTSTATUS Remove(PnpNode* node);
    // Surprise departure of an arrived device: the bus unplugs it, the subtree gets surprise
    // removal (children first). While a file object stands on one of the subtree's stacks the
    // removal waits: Unplug returns false and the removal runs when the last one goes (see
    // WaitRemoved). Otherwise removal and deletion are done before it returns true.
    bool Unplug(PnpNode* node);
    // Waits (a platform wait) until the node is removed; false when the timeout passed first.
    bool WaitRemoved(PnpNode* node, int64_t timeout100ns = 0);

    // Present (not removed) nodes in tree order, parents before children.
    std::vector<PnpNode*> Nodes() const;
    PnpNode* Find(PDEVICE_OBJECT pdo) const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace sim
