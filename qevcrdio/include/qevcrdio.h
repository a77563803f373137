/*
 * qevcrdio.h - pass-through library for the TVQ-206 / TVQ-210CF unit.
 *
 * Every target of the unit (each card slot and the VD) is a SCSI disk target,
 * named by its 0-based index in the order the last QevScScanEx accepted it.
 * All arguments are 32-bit values or pointers; all structures little-endian.
 *
 * Result codes
 *   Most calls return 0 on success. QevScGetVersion, QevScEject, QevScFree and
 *   QevScFreeEx return non-zero on success and 0 on failure.
 *   A failing SCSI call returns its sense data packed by QEV_SENSE:
 *     QEV_SENSE(key, asc, ascq) = asc << 20 | ascq << 12 | key
 *   so that "not ready, medium not present" (02/3A/00) reads 0x3A00002.
 *   The library's own failures use the sense a disk would give for them:
 *     QEV_E_NO_MEDIUM        02/3A/00  no card in the slot (or VD without card)
 *     QEV_E_BECOMING_READY   02/04/01  unit plugged in moments ago
 *     QEV_E_NOT_READY        02/04/00  not ready, no more precise cause known
 *     QEV_E_IN_USE           02/04/80  card in use elsewhere: a bound device, or a device
 *                                      stacked on it, is mounted, swap or held by the system
 *     QEV_E_HELD             02/04/81  another program holds the bound device exclusively
 *     QEV_E_NO_ACCESS        02/04/82  no permission to open the bound device
 *     QEV_E_WRITE_PROTECT    07/27/00  write protected (read-only device or image)
 *     QEV_E_READ_ERROR       03/11/00  unrecovered read error
 *     QEV_E_WRITE_ERROR      03/0C/00  write error
 *     QEV_E_HARDWARE         04/44/00  internal target failure (bad image file...)
 *     QEV_E_INVALID_FIELD    05/24/00  invalid field in CDB (bad argument, null pointer)
 *     QEV_E_LBA_RANGE        05/21/00  LBA out of range
 *     QEV_E_NO_TARGET        05/25/00  target index not known (no scan, unplugged)
 *     QEV_E_MEDIUM_CHANGED   06/28/00  medium may have changed
 *     QEV_E_LOCKED           05/2C/00  target locked by another process (QevScLock)
 *   A real unit adds what its commands meet: the sense the unit returns, and
 *     0B/08/01  the command timed out (every command has a timeout)
 *     0B/08/00  the USB/SCSI host or the driver reported an error
 *     0B/4B/00  the unit moved fewer bytes than asked (a short transfer)
 *
 * Backends: real units through the kernel's SCSI generic driver (listed by
 * udev; the LUNs of one host are one unit's targets, in LUN order), then a
 * virtual bus. A scan numbers the targets of both one after the other.
 * QEVCRDIO_BACKEND=sg or bus narrows it to one (default auto: both), and
 * QEVCRDIO_TRACE=FILE logs every command sent to a real unit.
 * The virtual bus: a directory named by the environment variable
 * QEVCRDIO_BUS (default $XDG_DATA_HOME/qevcrdio/bus, else
 * ~/.local/share/qevcrdio/bus). The tool tvqunit creates and drives it.
 * The library re-reads a description only when inotify reports a change in
 * the bus (QEVCRDIO_NO_WATCH=1: it checks every file on every call instead).
 * The name filter of QevScScanEx matches a bridge name that contains it.
 * Drive letters follow the target index: E for target 0, F for target 1, ...
 * QevScEject on the VD takes out the card it mirrors. Format errors beside the
 * codes above: 03/31/01 (no FAT fits the card), 07/27/00 (image read-only).
 * Data reported written is flushed at eject, free and unload. A flush that
 * fails is a failure of that call: QevScEject and QevScFree(Ex) return 0
 * (the card stays in; free lets go all the same). One the library made by
 * itself (an idle bound device let go) fails the next READ(10), WRITE(10),
 * eject or free of that card with 03/0C/00 (eject, free: 0); at unload it is
 * written to standard error.
 */
#ifndef QEVCRDIO_H
#define QEVCRDIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QEV_SENSE(key, asc, ascq) \
    ((int32_t)((((uint32_t)(asc) & 0xFFu) << 20) | (((uint32_t)(ascq) & 0xFFu) << 12) | ((uint32_t)(key) & 0xFFu)))

#define QEV_OK                0
#define QEV_E_NO_MEDIUM       QEV_SENSE(0x02, 0x3A, 0x00)
#define QEV_E_BECOMING_READY  QEV_SENSE(0x02, 0x04, 0x01)
#define QEV_E_NOT_READY       QEV_SENSE(0x02, 0x04, 0x00)
/* Vendor-specific qualifiers of 02/04 (80h and above), so a caller can say why. */
#define QEV_E_IN_USE          QEV_SENSE(0x02, 0x04, 0x80)
#define QEV_E_HELD            QEV_SENSE(0x02, 0x04, 0x81)
#define QEV_E_NO_ACCESS       QEV_SENSE(0x02, 0x04, 0x82)
#define QEV_E_WRITE_PROTECT   QEV_SENSE(0x07, 0x27, 0x00)
#define QEV_E_READ_ERROR      QEV_SENSE(0x03, 0x11, 0x00)
#define QEV_E_WRITE_ERROR     QEV_SENSE(0x03, 0x0C, 0x00)
#define QEV_E_HARDWARE        QEV_SENSE(0x04, 0x44, 0x00)
#define QEV_E_INVALID_FIELD   QEV_SENSE(0x05, 0x24, 0x00)
#define QEV_E_LBA_RANGE       QEV_SENSE(0x05, 0x21, 0x00)
#define QEV_E_NO_TARGET       QEV_SENSE(0x05, 0x25, 0x00)
#define QEV_E_MEDIUM_CHANGED  QEV_SENSE(0x06, 0x28, 0x00)
#define QEV_E_LOCKED          QEV_SENSE(0x05, 0x2C, 0x00)

/* Most targets a scan accepts, and so the entries of a slot table. */
#define QEV_MAX_TARGETS 11

/* Drive information of one target: 40 bytes. */
typedef struct QevSlotRecord {
    uint32_t CardPresent;     /*  0 non-zero while a card is in the slot */
    uint32_t Cylinders;       /*  4 */
    uint32_t Heads;           /*  8 zero: card unusable */
    uint32_t TotalSectors;    /* 12 highest LBA + 1 */
    uint32_t SectorsPerTrack; /* 16 */
    uint32_t SectorSize;      /* 20 only 512 is usable */
    uint32_t WaitCheck;       /* 24 -WAIT (PC Card ATA) or IORDY (TrueIDE) check */
    uint32_t AccessTiming;    /* 28 ns (PC Card ATA) or PIO mode in bits 0-2 (TrueIDE) */
    uint8_t  DriveLetter;     /* 32 ASCII drive letter */
    uint8_t  Reserved[7];     /* 33 see QEV_HOLDER_*_BYTE */
} QevSlotRecord;

/* QevScGetDriveInfo tells who holds the target's lock in Reserved: byte
 * QEV_HOLDER_FLAG_BYTE is 1 while another process holds it (0 when nobody or
 * the caller does), and the four bytes from QEV_HOLDER_PID_BYTE hold that
 * process's id, little-endian. */
#define QEV_HOLDER_FLAG_BYTE 0
#define QEV_HOLDER_PID_BYTE  3
/* Every record the library fills names its backend in byte QEV_BACKEND_BYTE of
 * Reserved: QEV_BACKEND_SG for a real unit, QEV_BACKEND_BUS for the virtual
 * bus. Bit QEV_PARAMS_DEFAULTED of byte QEV_PARAMS_BYTE is set when a real
 * unit's bridge refused IDENTIFY DEVICE and the drive parameters are the
 * defaults for the card's size. */
#define QEV_BACKEND_BYTE     1
#define QEV_BACKEND_SG       'S'
#define QEV_BACKEND_BUS      'B'
#define QEV_PARAMS_BYTE      2
#define QEV_PARAMS_DEFAULTED 0x01

/* Slot status of the unit: 12 bytes. */
typedef struct QevSlotStatus {
    uint32_t VdTarget;        /* 0 slot the VD mirrors, from 0 (0 = slot 1) */
    uint32_t Unused;          /* 4 */
    uint32_t CardMask;        /* 8 bit s-1 set: a card is in slot s */
} QevSlotStatus;

/* Scan filter: gets a candidate's standard INQUIRY data, returns -1 to
 * accept it, 0 to reject it. */
typedef int32_t (*QevScFilter)(const uint8_t *inquiry);

/* Non-zero: usable; writes the library's major and minor version. */
int32_t QevScGetVersion(uint32_t *major, uint32_t *minor);

/* Scans the bus. Candidates are the targets of the devices whose bridge name
 * contains nameFilter (NULL or "" for all); each is offered to filter; accepted
 * target i gets index i and fills slotTable[i]. Never writes more than
 * QEV_MAX_TARGETS entries. Returns the number accepted, 0 for none. */
int32_t QevScScanEx(QevScFilter filter, const char *nameFilter, QevSlotRecord *slotTable);

/* Locks the target for the calling process: an advisory lock between
 * processes, taken again at no cost by its holder, released by QevScFree,
 * QevScFreeEx and the end of the process. Result: 0, QEV_E_LOCKED while
 * another process holds it, or another sense code. */
int32_t QevScLock(uint32_t target);

/* Standard INQUIRY data, allocLen bytes at most (36 is the standard size). */
int32_t QevScInquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer);

/* READ BUFFER; the unit serves mode 2, buffer ID 4, offset 0x1000: the
 * 128-byte firmware information block (signature "T210"). */
int32_t QevScReadBuffer(uint32_t target, uint32_t mode, uint32_t bufferId,
                        uint32_t offset, uint8_t *buffer, uint32_t allocLen);

/* Drive information of a target; 0 or QEV_E_NO_MEDIUM both fill the record
 * (an empty slot reads as zero parameters). */
int32_t QevScGetDriveInfo(uint32_t target, QevSlotRecord *record);

/* Slot status of the unit whose target this is. */
int32_t QevScGetSlotStatus(uint32_t target, QevSlotStatus *status);

/* READ(10) / WRITE(10) of count sectors from lba; bytesPerSector must be 512.
 * On the VD, reads come from the mirrored card and writes go to every card
 * present. Virtual units take 1..65535 sectors a call; a real unit 1..128,
 * and a longer call is refused (QEV_E_INVALID_FIELD) before the unit sees it,
 * since a failed command's pieces could not be told apart. */
int32_t QevScRead10(uint32_t target, uint32_t lba, uint32_t count, void *buffer,
                    uint32_t bytesPerSector);
int32_t QevScWrite10(uint32_t target, uint32_t lba, uint32_t count, const void *buffer,
                     uint32_t bytesPerSector);

/* Non-zero: the card was taken out of its slot (its image is kept). 0: it
 * was not, for every process (a failed flush leaves it in). */
int32_t QevScEject(uint32_t target);

/* Writes a FAT file system sized for the card (FAT12/16/32 by size). */
int32_t QevScFormat(uint32_t target, QevSlotRecord *record);

/* Release every target (QevScFree) or, with 0xFF, all of them too
 * (QevScFreeEx takes a single index otherwise). Non-zero: released and
 * flushed; 0: released, but a flush failed (data written may be lost). */
int32_t QevScFree(void);
int32_t QevScFreeEx(uint32_t target);

#ifdef __cplusplus
}
#endif

#endif
