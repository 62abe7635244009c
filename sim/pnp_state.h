// The PnP manager's own records and the routines its files share. Everything here runs on
// the manager's system thread, except the queue, which callers fill under the mutex.
#pragma once

#include "platform/host/native_image.h"
#include <deque>
#include <functional>
#include <mutex>

#include "platform/host/control.h"
#include "sim/pnp_manager.h"

namespace sim {
namespace pnp {

struct Driver {
    PDRIVER_OBJECT object;
    std::vector<std::u16string> hardwareIds;
    bool unloaded = false;
    host::image::Image* image = nullptr;  // the native image the driver runs from, if any
};

// ---- Requests (pnp_requests.cpp) ----
// One PnP request to the top of the device's stack, waited for.
host::io::Result Send(PDEVICE_OBJECT device, UCHAR minor,
                      const std::function<void(PIO_STACK_LOCATION)>& setup = nullptr);
// Asks the PDO's stack who it is: IDs, texts, capabilities.
void Identify(PnpNode& node);
// The bus relations the stack reports, or false when it did not answer them. The manager
// keeps the reference the answer carries for a PDO it did not know (in known).
bool QueryChildren(PnpNode& node, std::vector<PDEVICE_OBJECT>* reported);

// ---- Answer checks (pnp_answers.cpp) ----
enum class Form { Single, Instance, List, Text };
// A string answer: checks its pool and syntax, frees it and returns its strings.
std::vector<std::u16string> TakeStrings(ULONG_PTR information, Form form, const std::string& what);
// A relations answer: checks pool and references and frees it. known: the PDOs the
// manager already holds a reference on (their answer's reference is dropped).
std::vector<PDEVICE_OBJECT> TakeRelations(ULONG_PTR information, const std::vector<PDEVICE_OBJECT>& known,
                                          const std::string& what);
std::string DeviceText(PDEVICE_OBJECT device);

}  // namespace pnp

struct PnpManager::State {
    explicit State(UsbBus& b) : bus(b) {}
    UsbBus& bus;

    // Callers' side, under mutex.
    std::mutex mutex;
    std::deque<std::function<void()>> jobs;
    bool stop = false;
    KEVENT changed;  // set whenever the queue or a node's state changes: wakes waiters
    HANDLE thread = nullptr;

    // The manager thread's side.
    std::vector<std::unique_ptr<PnpNode>> nodes;  // every node ever made; removed ones stay
    std::vector<PnpNode*> roots;
    std::vector<pnp::Driver> drivers;
    std::vector<PnpNode*> awaitingFiles;  // surprise-removed arrivals

    // Runs job on the manager's thread and waits for it.
    void Run(const std::function<void()>& job);
    void Changed() { KeSetEvent(&changed, IO_NO_INCREMENT, FALSE); }

    // ---- The tree (pnp_tree.cpp) ----
    PnpNode* NewNode(PDEVICE_OBJECT pdo, PnpNode* parent);
    // Identity, driver, AddDevice, start and enumeration of a node just found.
    void Build(PnpNode& node);
    NTSTATUS Start(PnpNode& node);
    void Enumerate(PnpNode& node);
    // Removes the node's children, then (with send) its own stack.
    void RemoveStack(PnpNode& node, bool send);
    // Removal of a subtree, children first. missing: its parent no longer reports it (the
    // PDO's driver then deletes the PDO).
    void RemoveTree(PnpNode& node, bool missing);
    void SurpriseTree(PnpNode& node);
    bool FilesOpen(PnpNode& node) const;
    // Removal of an arrived device's subtree, then the bus deletes its PDO.
    void Depart(PnpNode& node);
    // Surprise-removed devices whose removal waits for their files to close.
    void DepartUnheld();
    NTSTATUS QueryRemoveTree(PnpNode& node, std::vector<PnpNode*>* asked);
    void CancelRemove(const std::vector<PnpNode*>& asked);
    const pnp::Driver* DriverFor(const PnpNode& node) const;
};

}  // namespace sim
