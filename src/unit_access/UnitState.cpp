#include "UnitState.h"

#include <cstring>

SlotTableType SlotTable;
UnitInfoType UnitInfo;
DeviceOpsType DeviceOps;
SlotStatusBlockType SlotStatusBlock;
uint32_t DeviceCount;
uint32_t ModelKind;
uint32_t TrueIdeMode;
uint32_t VdAtEnd;
uint32_t VdIndex;
uint32_t MasterSlotIndex;
int32_t StartupResult;
bool UnitConnected;
uint8_t *TransferBuffer;
uint32_t LibVersion[2];

uint32_t SlotPresenceMask;
int32_t VdTargetSlot;
long double AllSlotsMask;
bool MenusBuilt;
uint32_t OpenLampIndex;
uint32_t OpenSlotIndex;
bool TransferActive;

void ClearDriveParams(SlotRecord &record)
{
    std::memset(&record, 0, kDriveParamBytes);
}
