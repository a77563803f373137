// One SCSI command through SG_IO, judged strictly: it succeeds only with
// GOOD status (or a recovered error), no host or driver error and the whole
// transfer done. Everything else comes back as a packed sense code
// (QEV_SENSE), never as 0. Every command carries a timeout.
#pragma once

#include "Cdb.h"
#include "Port.h"

#include <cstdint>
#include <string>

namespace sg {

// Failures the kernel reports without sense data from the device.
// 0B/08/01 logical unit communication time-out
// 0B/08/00 logical unit communication failure (host or driver error)
// 0B/4B/00 data phase error (fewer bytes moved than asked: a short transfer)
// 05/25/00 the node is gone (unit unplugged)
int32_t TimeoutCode();
int32_t LinkFailureCode();
int32_t ShortTransferCode();

enum class Dir { None, In, Out };

// Timeouts in milliseconds.
constexpr uint32_t kShortTimeoutMs = 10000;   // INQUIRY, TEST UNIT READY, READ CAPACITY, READ BUFFER
constexpr uint32_t kIoTimeoutMs = 30000;      // READ(10), WRITE(10), IDENTIFY
constexpr uint32_t kSlowTimeoutMs = 60000;    // SYNCHRONIZE CACHE, START STOP UNIT

// Packs the sense data a device returned (fixed or descriptor format).
// 0 never comes back: unusable sense gives an internal target failure.
int32_t PackSense(const uint8_t *sense, unsigned len);

// The log QEVCRDIO_TRACE names: one line per command with its CDB, direction,
// data length, status, host/driver status, residual, sense and duration.
// No data. Opened when the variable is set, at the first command.
void TraceLine(const std::string &node, const Cdb &cdb, Dir dir, uint32_t len, const sg_io_hdr *h, int ioErr,
               int64_t ns, int32_t rc);
// A line of free text in the trace (scan results, assumptions used).
void TraceNote(const std::string &text);

// Sends cdb to the node open as fd. buf holds len bytes (in or out).
int32_t Exec(Port &port, int fd, const std::string &node, const Cdb &cdb, Dir dir, void *buf, uint32_t len,
             uint32_t timeoutMs);

}  // namespace sg
