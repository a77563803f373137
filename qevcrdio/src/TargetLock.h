// Locks on the targets of the bus's units, between processes: one lock file
// per target in its unit's folder ("target<N>.lock"), held with an fcntl
// write lock. Such locks belong to the process: taking one again is free,
// they end with the process, and the holder's id can be asked for. A folder
// where no lock file can be made leaves its targets unlockable, never refused.
#pragma once

#include "qevcrdio.h"

#include <string>

namespace qev {

// Takes the lock of target number `target` of the unit in unitDir. 0 when this
// process holds it now (or it cannot be locked at all); else the holder's pid.
int TakeTargetLock(const std::string &unitDir, int target);
void ReleaseTargetLock(const std::string &unitDir, int target);
void ReleaseAllTargetLocks();
// The process other than this one that holds the lock, 0 when none.
int TargetLockHolder(const std::string &unitDir, int target);
// Writes the holder into the record's reserved bytes (QEV_HOLDER_*_BYTE).
void NoteTargetHolder(const std::string &unitDir, int target, QevSlotRecord *rec);

}  // namespace qev
