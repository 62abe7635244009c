// The driver-wide unit table and the master's child links.
#pragma once

#include "core/core.h"
#include "public/pmc7r.h"

struct UNIT_SLOT {
    ULONG ClientReadCursor;
    FDO_EXTENSION* UnitExtension;
};


extern UNIT_SLOT UnitTable[MAX_UNITS];
extern PDO_EXTENSION* ChildList;

// Forgets every slot and child: the state of a freshly loaded driver.
VOID ResetUnitTable(void);

// Slots are claimed and released under one driver-wide lock, so two units starting at once
// cannot both win an ID. A claim succeeds when the slot is empty or already holds the unit;
// a new holder's stream starts at its present input position.
BOOLEAN ClaimUnitSlot(FDO_EXTENSION* Unit, ULONG DeviceId);
VOID ReleaseUnitSlot(FDO_EXTENSION* Unit);
// The unit in a slot with an I/O reference taken on it, or none. Removal releases the slot
// before it waits for the I/O count to drain, so a unit taken this way stays until the
// caller drops the reference with DereferenceSlotUnit. Any IRQL up to DISPATCH_LEVEL.
FDO_EXTENSION* ReferenceSlotUnit(ULONG DeviceId);
VOID DereferenceSlotUnit(FDO_EXTENSION* Unit);
VOID CopyUnitInput(UNIT_SLOT* Slot, FDO_EXTENSION* Unit, UNIT_DATA_BLOCK* Block);
// Does the unit have input for the block that it could copy?
BOOLEAN HasInputFor(UNIT_SLOT* Slot, FDO_EXTENSION* Unit, UNIT_DATA_BLOCK* Block);

// The master's child is reached from every unit's bulk-in completion. ChildLock keeps a
// master's Child link and ChildList, and the child's memory, together while a delivery uses
// them: a child leaves both under the lock before it is deleted. Lock order: a unit's
// InputLock, then ChildLock, then the child's ReadLock.
VOID InitializeChildLinks(void);
VOID LinkChild(FDO_EXTENSION* Master, PDO_EXTENSION* Child);
// The child of ChildList with this object name, or none.
PDO_EXTENSION* FindChild(PCWSTR ObjectName);
// Takes the child out of its parent's Child and out of ChildList; TRUE when the parent still
// named it.
BOOLEAN UnlinkChild(PDO_EXTENSION* Child);
// Clears the master's Child and takes that child out of ChildList; returns it, or none.
PDO_EXTENSION* TakeChild(FDO_EXTENSION* Master);
// DeliverToChild on the master's child, if it has one.
PIRP DeliverToMasterChild(FDO_EXTENSION* Master, UNIT_SLOT* Slot, FDO_EXTENSION* Unit);

