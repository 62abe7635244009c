// Two small drivers for the PnP manager's tests. The function driver ("pnptest") passes PnP
// down its stack, creates one named child PDO when it starts, reports it in its bus
// relations and answers the child's identity from paged pool; as a bus driver should, it
// deletes the child when the child is removed after it stopped reporting it, or when the
// function device itself is removed. The child driver ("pnpchild") attaches to that child
// and accepts handles. Both log each PnP request they see.
#pragma once

#include <string>
#include <vector>

#include "platform/host/control.h"

namespace pnptest {

inline constexpr char16_t kUnitId[] = u"USB\\VID_0C5B&PID_002A";
inline constexpr char16_t kChildId[] = u"PNPTEST\\CHILD";

// How the drivers misbehave, set before the requests concerned arrive.
struct Behaviour {
    bool failStart = false;
    bool refuseQueryStop = false;
    bool refuseQueryRemove = false;
    bool child = true;                // the function device creates a child when it starts
    POOL_TYPE childIdPool = PagedPool;
    bool childIdsOneZero = false;     // the hardware IDs end in one zero, not two
    bool referenceRelations = true;   // bus relations carry their reference
    bool childStaysInitializing = false;
    bool childTextUnpooled = false;   // the device text is a static string
    bool childTextUnterminated = false;
    bool relationsUnpooled = false;   // bus relations in a static buffer
    bool relationsOvercount = false;  // their count is one more than their buffer holds
    bool relationsNullEntry = false;  // a second entry, null
};
Behaviour& Config();

// "fdo START", "pdo REMOVE", "cfdo SURPRISE", ...: function device, child PDO, child's
// function device.
std::vector<std::string> Log();
void ClearLog();
int Unloads();
// Forgets the behaviour, the log, the unloads and the children's numbers.
void Reset();

NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS NTAPI ChildEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// The function device's child PDO (null when it has none), and its name for opening.
PDEVICE_OBJECT ChildOf(PDEVICE_OBJECT fdo);
std::u16string ChildName(PDEVICE_OBJECT child);
// The function device stops reporting its child in its bus relations.
void DropChild(PDEVICE_OBJECT fdo);

}  // namespace pnptest
