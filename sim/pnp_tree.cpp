// The device tree: building a node's stack, starting it, enumerating its children, and
// taking subtrees down in order (children first) or after a surprise removal.
#include <algorithm>

#include "platform/host/verifier_rules.h"
#include "sim/pnp_state.h"

namespace sim {
namespace {

namespace rules = host::verifier::rules;
using pnp::DeviceText;
using pnp::Send;

bool SameId(const std::u16string& a, const std::u16string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

bool HasStack(const PnpNode& node) {
    PnpState s = node.state.load();
    return s == PnpState::Started || s == PnpState::Stopped || s == PnpState::SurpriseRemoved;
}

// After its remove request a stack holds only its PDO.
void CheckTornDown(const PnpNode& node) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node.pdo);
    ObfDereferenceObject(top);
    if (top != node.pdo)
        host::verifier::Report(rules::kStackNotTornDown,
                               DeviceText(top) + " is still attached above " + DeviceText(node.pdo));
}

void Unlink(std::vector<PnpNode*>& list, const PnpNode* node) { std::erase(list, node); }

}  // namespace

PDEVICE_OBJECT PnpNode::Top() const {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    ObfDereferenceObject(top);
    return top;
}

PnpNode* PnpManager::State::NewNode(PDEVICE_OBJECT pdo, PnpNode* parent) {
    auto node = std::make_unique<PnpNode>();
    node->pdo = pdo;
    node->parent = parent;
    PnpNode* raw = node.get();
    nodes.push_back(std::move(node));
    return raw;
}

const pnp::Driver* PnpManager::State::DriverFor(const PnpNode& node) const {
    std::vector<std::u16string> ids = node.hardwareIds;
    ids.insert(ids.end(), node.compatibleIds.begin(), node.compatibleIds.end());
    for (const std::u16string& id : ids) {
        for (const pnp::Driver& d : drivers) {
            if (d.unloaded) continue;
            for (const std::u16string& wanted : d.hardwareIds)
                if (SameId(id, wanted)) return &d;
        }
    }
    return nullptr;
}

void PnpManager::State::Build(PnpNode& node) {
    pnp::Identify(node);
    const pnp::Driver* driver = DriverFor(node);
    if (!driver) {
        node.problem = PnpProblem::NoDriver;
        return;
    }
    node.driver = driver->object;
    PDRIVER_ADD_DEVICE add = driver->object->DriverExtension->AddDevice;
    NTSTATUS status = add ? add(driver->object, node.pdo) : STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(status)) {
        node.problemStatus = status;
        node.problem = PnpProblem::FailedAdd;
        return;
    }
    PDEVICE_OBJECT top = node.Top();
    if (top != node.pdo && (top->Flags & DO_DEVICE_INITIALIZING))
        host::verifier::Report(rules::kStillInitializing,
                               DeviceText(top) + " above " + DeviceText(node.pdo));
    Start(node);
}

NTSTATUS PnpManager::State::Start(PnpNode& node) {
    NTSTATUS status = Send(node.pdo, IRP_MN_START_DEVICE).status;
    if (!NT_SUCCESS(status)) {
        // The platform takes a stack that failed to start down again.
        RemoveStack(node, true);
        node.problemStatus = status;
        node.problem = PnpProblem::FailedStart;
        node.state = PnpState::Present;
        Changed();
        return status;
    }
    node.problem = PnpProblem::None;
    node.state = PnpState::Started;
    Changed();
    Enumerate(node);
    return status;
}

void PnpManager::State::Enumerate(PnpNode& node) {
    std::vector<PDEVICE_OBJECT> reported;
    if (!pnp::QueryChildren(node, &reported)) return;
    for (PnpNode* child : std::vector<PnpNode*>(node.children)) {
        if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end()) RemoveTree(*child, true);
    }
    std::vector<PnpNode*> found;
    for (PDEVICE_OBJECT pdo : reported) {
        bool known = std::any_of(node.children.begin(), node.children.end(),
                                 [pdo](const PnpNode* c) { return c->pdo == pdo; });
        if (known) continue;
        PnpNode* child = NewNode(pdo, &node);
        node.children.push_back(child);
        found.push_back(child);
    }
    for (PnpNode* child : found) Build(*child);
}

void PnpManager::State::RemoveStack(PnpNode& node, bool send) {
    std::vector<PnpNode*> children = node.children;
    for (PnpNode* child : children) RemoveTree(*child, false);
    if (send) {
        Send(node.pdo, IRP_MN_REMOVE_DEVICE);
        CheckTornDown(node);
    }
    // The children's PDOs were the node's driver's to delete.
    for (PnpNode* child : children) {
        if (!host::io::DeviceDeleted(child->pdo))
            host::verifier::Report(rules::kChildPdoLeft,
                                   DeviceText(child->pdo) + " of " + DeviceText(node.pdo));
        ObfDereferenceObject(child->pdo);
    }
}

void PnpManager::State::RemoveTree(PnpNode& node, bool missing) {
    // A stack that failed to start was removed already; a PDO reported missing hears of it
    // again all the same, so that its driver deletes it.
    RemoveStack(node, HasStack(node) || missing);
    if (!node.parent) return;  // the bus deletes it: Depart
    Unlink(node.parent->children, &node);
    if (missing) {
        if (!host::io::DeviceDeleted(node.pdo))
            host::verifier::Report(rules::kMissingPdoNotDeleted, DeviceText(node.pdo));
        ObfDereferenceObject(node.pdo);
    }
    node.state = PnpState::Removed;
    Changed();
}

void PnpManager::State::SurpriseTree(PnpNode& node) {
    for (PnpNode* child : node.children) SurpriseTree(*child);
    if (!HasStack(node)) return;
    Send(node.pdo, IRP_MN_SURPRISE_REMOVAL);
    node.state = PnpState::SurpriseRemoved;
    Changed();
}

bool PnpManager::State::FilesOpen(PnpNode& node) const {
    if (host::files::OpenOnStack(node.pdo) != 0) return true;
    return std::any_of(node.children.begin(), node.children.end(), [this](PnpNode* c) { return FilesOpen(*c); });
}

void PnpManager::State::Depart(PnpNode& node) {
    RemoveTree(node, false);
    bus.Delete(node.pdo);
    ObfDereferenceObject(node.pdo);
    Unlink(roots, &node);
    node.state = PnpState::Removed;
    Changed();
}

// A handle open on a stack of the subtree vetoes the removal before its stack is asked: the
// platform's "outstanding open" veto (PNP_VetoOutstandingOpen, "the requested operation was
// rejected because of outstanding open handles"), which an application that keeps its handle
// through the query-remove notification gives.
NTSTATUS PnpManager::State::QueryRemoveTree(PnpNode& node, std::vector<PnpNode*>* asked) {
    for (PnpNode* child : node.children) {
        NTSTATUS status = QueryRemoveTree(*child, asked);
        if (!NT_SUCCESS(status)) return status;
    }
    if (!HasStack(node)) return STATUS_SUCCESS;
    if (host::files::OpenOnStack(node.pdo) != 0) return STATUS_PLUGPLAY_QUERY_VETOED;
    asked->push_back(&node);
    return Send(node.pdo, IRP_MN_QUERY_REMOVE_DEVICE).status;
}

void PnpManager::State::CancelRemove(const std::vector<PnpNode*>& asked) {
    for (auto it = asked.rbegin(); it != asked.rend(); ++it) Send((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
}

}  // namespace sim
