#include "Command.h"

#include "qevcrdio.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <scsi/sg.h>
#include <unistd.h>

namespace sg {

namespace {

constexpr unsigned kSenseLen = 32;
constexpr uint8_t kGood = 0x00, kCheckCondition = 0x02, kBusy = 0x08, kReservationConflict = 0x18,
                  kTaskSetFull = 0x28;
constexpr unsigned kDriverSense = 0x08;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDidNoConnect = 0x01, kDidTimeOut = 0x03;

int64_t Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct TraceFile {
    std::mutex mu;
    bool looked = false;
    int fd = -1;
    int64_t start = 0;
};

TraceFile &Tf()
{
    static TraceFile t;
    return t;
}

// The trace's descriptor, -1 when no trace is asked for. Called under the lock.
int TraceFd(TraceFile &t)
{
    if (!t.looked) {
        t.looked = true;
        const char *path = std::getenv("QEVCRDIO_TRACE");
        if (path && *path) t.fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        t.start = Now();
    }
    return t.fd;
}

std::atomic<bool> g_tracing{true};  // false once it is known that no trace is wanted

const char *DirName(Dir d)
{
    return d == Dir::In ? "in" : d == Dir::Out ? "out" : "none";
}

}  // namespace

int32_t TimeoutCode()
{
    return QEV_SENSE(0x0B, 0x08, 0x01);
}

int32_t LinkFailureCode()
{
    return QEV_SENSE(0x0B, 0x08, 0x00);
}

int32_t ShortTransferCode()
{
    return QEV_SENSE(0x0B, 0x4B, 0x00);
}

int32_t PackSense(const uint8_t *s, unsigned len)
{
    if (!s || len < 4) return QEV_E_HARDWARE;
    uint8_t code = s[0] & 0x7F;
    uint8_t key = 0, asc = 0, ascq = 0;
    if (code == 0x70 || code == 0x71) {
        if (len < 3) return QEV_E_HARDWARE;
        key = s[2] & 0x0F;
        if (len >= 13) asc = s[12];
        if (len >= 14) ascq = s[13];
    } else if (code == 0x72 || code == 0x73) {
        key = s[1] & 0x0F;
        asc = s[2];
        ascq = s[3];
    } else {
        return QEV_E_HARDWARE;
    }
    int32_t rc = QEV_SENSE(key, asc, ascq);
    return rc == 0 ? QEV_E_HARDWARE : rc;
}

void TraceLine(const std::string &node, const Cdb &cdb, Dir dir, uint32_t len, const sg_io_hdr *h, int ioErr,
               int64_t ns, int32_t rc)
{
    if (!g_tracing.load(std::memory_order_relaxed)) return;
    TraceFile &t = Tf();
    std::lock_guard<std::mutex> lock(t.mu);
    int fd = TraceFd(t);
    if (fd < 0) {
        g_tracing = false;
        return;
    }
    char hex[64], sense[3 * kSenseLen + 2] = "-";
    CdbHex(cdb, hex, sizeof hex);
    if (h && h->sb_len_wr > 0) {
        unsigned pos = 0;
        for (unsigned i = 0; i < h->sb_len_wr && i < kSenseLen; ++i)
            pos += static_cast<unsigned>(
                std::snprintf(sense + pos, sizeof sense - pos, i ? " %02x" : "%02x", h->sbp[i]));
    }
    char line[512];
    int n;
    double at = static_cast<double>(Now() - t.start) / 1e9;
    if (ioErr)
        n = std::snprintf(line, sizeof line, "%.6f %s cdb=[%s] dir=%s len=%u ioctl-errno=%d us=%lld rc=0x%08x\n", at,
                          node.c_str(), hex, DirName(dir), len, ioErr, static_cast<long long>(ns / 1000),
                          static_cast<unsigned>(rc));
    else
        n = std::snprintf(line, sizeof line,
                          "%.6f %s cdb=[%s] dir=%s len=%u status=0x%02x host=0x%04x driver=0x%04x resid=%d "
                          "sense=[%s] us=%lld rc=0x%08x\n",
                          at, node.c_str(), hex, DirName(dir), len, h->status, h->host_status, h->driver_status,
                          h->resid, sense, static_cast<long long>(ns / 1000), static_cast<unsigned>(rc));
    if (n > 0) {
        ssize_t w = ::write(fd, line, static_cast<size_t>(std::min<int>(n, static_cast<int>(sizeof line) - 1)));
        (void)w;
    }
}

void TraceNote(const std::string &text)
{
    if (!g_tracing.load(std::memory_order_relaxed)) return;
    TraceFile &t = Tf();
    std::lock_guard<std::mutex> lock(t.mu);
    int fd = TraceFd(t);
    if (fd < 0) {
        g_tracing = false;
        return;
    }
    std::string line = "# " + text + "\n";
    ssize_t w = ::write(fd, line.data(), line.size());
    (void)w;
}

int32_t Exec(Port &port, int fd, const std::string &node, const Cdb &cdb, Dir dir, void *buf, uint32_t len,
             uint32_t timeoutMs)
{
    uint8_t sense[kSenseLen] = {};
    sg_io_hdr_t h;
    std::memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    h.dxfer_direction = dir == Dir::In ? SG_DXFER_FROM_DEV : dir == Dir::Out ? SG_DXFER_TO_DEV : SG_DXFER_NONE;
    h.cmd_len = cdb.len;
    h.mx_sb_len = sizeof sense;
    h.dxfer_len = dir == Dir::None ? 0 : len;
    h.dxferp = dir == Dir::None ? nullptr : buf;
    h.cmdp = const_cast<unsigned char *>(cdb.b);
    h.sbp = sense;
    h.timeout = timeoutMs;

    bool tracing = g_tracing.load(std::memory_order_relaxed);
    int64_t t0 = tracing ? Now() : 0;
    int err = port.Io(fd, &h);
    int32_t rc;
    if (err != 0) {
        int e = -err;
        rc = e == ENODEV || e == ENXIO || e == ENOENT ? QEV_E_NO_TARGET
             : e == EBUSY                             ? QEV_E_NOT_READY
             : e == EACCES || e == EPERM              ? QEV_E_NO_ACCESS
                                                      : LinkFailureCode();
    } else if (h.host_status == kDidTimeOut || (h.driver_status & 0x0F) == kDriverTimeout) {
        rc = TimeoutCode();
    } else if (h.host_status == kDidNoConnect) {
        rc = QEV_E_NO_TARGET;
    } else if (h.host_status != 0 || (h.driver_status & ~kDriverSense) != 0) {
        rc = LinkFailureCode();
    } else if (h.status == kCheckCondition) {
        rc = PackSense(sense, std::min<unsigned>(h.sb_len_wr, sizeof sense));
        // RECOVERED ERROR: the command completed.
        if ((rc & 0xFF) == 0x01) rc = QEV_OK;
    } else if (h.status == kBusy || h.status == kTaskSetFull) {
        rc = QEV_E_NOT_READY;
    } else if (h.status == kReservationConflict) {
        rc = QEV_E_HELD;
    } else if (h.status != kGood) {
        rc = LinkFailureCode();
    } else {
        rc = QEV_OK;
    }
    if (rc == QEV_OK && h.resid != 0) rc = ShortTransferCode();
    if (tracing) TraceLine(node, cdb, dir, h.dxfer_len, &h, err ? -err : 0, Now() - t0, rc);
    return rc;
}

}  // namespace sg
