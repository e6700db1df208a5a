// The virtual QC3300 card as a library: a card whose whole state lives in a
// folder, driven either by sector reads and writes (as a kernel's disk driver
// issues them) or by whole SG_IO requests (as the preload library forwards
// them). Both paths run the same model: the vendor channel (the six-read
// unlock, the command block and the data phase at sector 0x946B), the
// controller programs, DOWNLOAD MICROCODE, the fault switches and the journal.
//
// Every state change is persisted before the call returns, so a card can be
// closed at any moment (or never) and reopened by another process.
//
// A card handle is not thread-safe: callers serialise the calls on one handle.
// Two handles (or processes) on one folder at the same time are not supported.
//
// The interface is plain C so that C and C++ callers can use it.
#ifndef QEL_VIRTUALCARD_CARDMODEL_H_
#define QEL_VIRTUALCARD_CARDMODEL_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct sg_io_hdr;
typedef struct VCard VCard;

// Opens the card in folder dir (made by "qelvcard create"). On failure returns
// NULL and writes a one-line reason into err (if errLen > 0). Opening counts
// as the host powering the disk on: microcode saved by DOWNLOAD MICROCODE 0Eh
// and not yet activated becomes the running firmware. The program the
// controller runs is otherwise kept, so that successive runs see one card.
VCard* vcard_open(const char* dir, char* err, size_t errLen);

// Releases the handle. Nothing is lost: state was persisted as it changed.
void vcard_close(VCard* card);

// Re-reads the persisted settings and state, picking up changes made by
// "qelvcard set" since the card was opened. Per-handle counters (the command
// count that --fail-cmd uses, the --dm-codes position) are kept.
// 0 on success, -1 when the folder can no longer be read.
int vcard_refresh(VCard* card);

// Number of user sectors (512 bytes each).
uint64_t vcard_capacity(const VCard* card);

// Reads or writes count sectors at lba, exactly as a READ/WRITE command of
// that range reaching the disk would: the vendor channel sees the access.
// Returns 0 on success and -1 when the card refuses the command (range beyond
// the capacity, an injected fault, a refused vendor command); the buffer
// content of a refused read is unspecified.
int vcard_read(VCard* card, uint64_t lba, uint32_t count, void* buf);
int vcard_write(VCard* card, uint64_t lba, uint32_t count, const void* buf);

// Answers one SG_IO request the way the Linux SCSI layer does with a SATA disk
// behind libata's SCSI/ATA translation (or with a plain SCSI disk when the
// card is attached as one): fills status, sense, resid and the data buffer.
// Returns 0 when the request was carried out (whatever its SCSI status), or -1
// with errno set (EINVAL, ENOSYS) when the request itself is malformed, like
// the ioctl does.
int vcard_sg_io(VCard* card, struct sg_io_hdr* hdr);

#ifdef __cplusplus
}
#endif

#endif  // QEL_VIRTUALCARD_CARDMODEL_H_
