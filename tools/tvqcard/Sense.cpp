#include "Sense.h"

#include "Messages.h"
#include "qevcrdio.h"

#include <cstdio>

namespace {

uint32_t Key(int32_t code)
{
    return uint32_t(code) & 0xFF;
}

}  // namespace

std::string SenseText(int32_t code)
{
    if (code == 0 || code == -1) return "";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X/%02X/%02X", Key(code), (uint32_t(code) >> 20) & 0xFF,
                  (uint32_t(code) >> 12) & 0xFF);
    return buf;
}

std::string Cause(int32_t code)
{
    switch (code) {
    case QEV_E_NO_MEDIUM: return Say(Msg::CauseNoMedium);
    case QEV_E_MEDIUM_CHANGED: return Say(Msg::CauseChanged);
    case QEV_E_NO_TARGET: return Say(Msg::CauseUnplugged);
    case QEV_E_BECOMING_READY: return Say(Msg::CauseReplugged);
    case QEV_E_IN_USE: return Say(Msg::CauseInUse);
    case QEV_E_HELD: return Say(Msg::CauseHeld);
    case QEV_E_NO_ACCESS: return Say(Msg::CauseNoAccess);
    case QEV_E_WRITE_PROTECT: return Say(Msg::CauseWriteProtect);
    case QEV_E_READ_ERROR: return Say(Msg::CauseReadError);
    case QEV_E_WRITE_ERROR: return Say(Msg::CauseWriteError);
    case QEV_E_LBA_RANGE: return Say(Msg::CauseRange);
    case QEV_E_LOCKED: return Say(Msg::CauseLocked);
    case -1: return Say(Msg::CauseNoCall);
    default: break;
    }
    switch (Key(code)) {
    case 0x02: return Say(Msg::CauseNotReady, {SenseText(code)});
    case 0x03: return Say(Msg::CauseMedium, {SenseText(code)});
    case 0x04: return Say(Msg::CauseHardware, {SenseText(code)});
    default: return Say(Msg::CauseSense, {SenseText(code)});
    }
}

bool Retryable(int32_t code)
{
    return code != -1 && Key(code) == 0x03;
}
