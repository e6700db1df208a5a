/* TCMU handler: serves a virtual card as a LIO user-space backstore, so that
 * a real kernel sees it as a SCSI disk behind a SAT bridge. With the loopback
 * fabric (tcm_loop) it becomes a /dev/sdX whose SG_IO crosses the block
 * layer, sd and the SCSI midlayer before it reaches the card.
 *
 *   qelcard-tcmu /dev/uioN CARD_DIR
 *
 * The device is made through configfs before the handler starts, with the
 * subtype "qelcard" (dev_config=qelcard/CARD_DIR); its UIO device then names
 * itself "tcm-user/HBA/NAME/qelcard/CARD_DIR", and the handler refuses any
 * other. Every command the kernel queues goes whole to the card model
 * (vcard_sg_io), which answers INQUIRY, READ CAPACITY and the rest of what sd
 * sends at attach, READ/WRITE and ATA PASS-THROUGH, as a SAT bridge does, with
 * the bridge behaviours the card folder chooses.
 *
 * The ring (linux/target_core_user.h): the shared region starts with the
 * mailbox; the kernel appends command entries at cmd_head and wakes us
 * through a read of the UIO device; we answer each entry in place, move
 * cmd_tail past it and tell the kernel with a 4-byte write. A command's CDB
 * and data buffers are offsets into the region. An entry does not say which
 * way its data goes, so the handler takes it from the command block (see
 * data_direction), as a bridge takes it from the ATA protocol field.
 *
 * SIGHUP makes it read the card's settings again (after "qelvcard set"),
 * SIGTERM stops it. Written in C: the uapi header is not valid C++.
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/target_core_user.h>
#include <scsi/sg.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "CardModel.h"

enum { STATUS_CHECK_CONDITION = 0x02, MAX_DATA = 32 << 20, MAX_IOV = 8192 };

static const char subtype[] = "qelcard";
static volatile sig_atomic_t stopping, reload;

static void stop(int sig)
{
  (void)sig;
  stopping = 1;
}

/* SIGHUP: "qelvcard set" changed the card's settings; read them again. */
static void hangup(int sig)
{
  (void)sig;
  reload = 1;
}

static int fail(const char *what, const char *detail)
{
  fprintf(stderr, "qelcard-tcmu: %s%s\n", what, detail ? detail : "");
  return 1;
}

/* One line of a sysfs attribute, without its line end. */
static int read_sysfs(const char *uio, const char *attr, char *text, size_t size)
{
  char path[256];
  snprintf(path, sizeof(path), "/sys/class/uio/%s/%s", uio, attr);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  ssize_t n = read(fd, text, size - 1);
  close(fd);
  if (n <= 0)
    return -1;
  text[n] = '\0';
  text[strcspn(text, "\n")] = '\0';
  return 0;
}

/* SCSI opcodes whose data goes to the device. */
static int scsi_data_out(uint8_t opcode)
{
  static const uint8_t out[] = {
    0x0A, 0x2A, 0x2E, 0x8A, 0x8E, 0xAA, 0xAE, /* WRITE (6/10/16/12), WRITE AND VERIFY */
    0x15, 0x55,                               /* MODE SELECT (6/10) */
    0x3B, 0x1D,                               /* WRITE BUFFER, SEND DIAGNOSTIC */
    0x41, 0x93, 0x42,                         /* WRITE SAME (10/16), UNMAP */
    0x5F, 0xA4,                               /* PERSISTENT RESERVE OUT, MAINTENANCE OUT */
  };
  for (size_t i = 0; i < sizeof(out); ++i)
    if (out[i] == opcode)
      return 1;
  return 0;
}

/* Direction of a command's data: ATA PASS-THROUGH says it in its protocol
 * (PIO data-in 4, data-out 5) and T_DIR bit, other commands by opcode. */
static int data_direction(const uint8_t *cdb, size_t length)
{
  if (length == 0)
    return SG_DXFER_NONE;
  if (cdb[0] == 0x85 || cdb[0] == 0xA1) {
    int protocol = (cdb[1] >> 1) & 0x0F;
    if (protocol == 4)
      return SG_DXFER_FROM_DEV;
    if (protocol == 5)
      return SG_DXFER_TO_DEV;
    return (cdb[2] & 0x08) ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
  }
  return scsi_data_out(cdb[0]) ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
}

/* Length of a command block from its group code: the kernel hands the CDB
 * over without its length. */
static unsigned cdb_length(const uint8_t *cdb)
{
  switch (cdb[0] >> 5) {
  case 0: return 6;
  case 1: case 2: return 10;
  case 5: return 12;
  default: return 16;
  }
}

struct ring {
  uint8_t *base;
  size_t size;
};

/* len bytes at a region offset, or NULL when they lie outside it. */
static uint8_t *ring_at(const struct ring *r, uint64_t offset, uint64_t len)
{
  return offset <= r->size && len <= r->size - offset ? r->base + offset : NULL;
}

static void illegal_request(struct tcmu_cmd_entry *entry, uint8_t asc)
{
  memset(entry->rsp.sense_buffer, 0, TCMU_SENSE_BUFFERSIZE);
  entry->rsp.sense_buffer[0] = 0x70;
  entry->rsp.sense_buffer[2] = 0x05;
  entry->rsp.sense_buffer[7] = 10;
  entry->rsp.sense_buffer[12] = (char)asc;
  entry->rsp.scsi_status = STATUS_CHECK_CONDITION;
}

/* Carries out one command entry and writes its answer in place. The data
 * is gathered into one buffer for the model and scattered back. */
static void serve(VCard *card, const struct ring *r, struct tcmu_cmd_entry *entry, int read_len_ok,
                  uint8_t *data)
{
  uint32_t count = entry->req.iov_cnt;
  uint8_t *cdb = ring_at(r, entry->req.cdb_off, 16);
  uint8_t *iov_bytes = (uint8_t *)entry + offsetof(struct tcmu_cmd_entry, req.iov);
  struct iovec iov[MAX_IOV];
  size_t total = 0;
  if (cdb == NULL || entry->req.iov_bidi_cnt != 0 || count > MAX_IOV ||
      !ring_at(r, (uint64_t)(iov_bytes - r->base), (uint64_t)count * sizeof(struct iovec))) {
    illegal_request(entry, 0x24);
    return;
  }
  memcpy(iov, iov_bytes, count * sizeof(struct iovec));
  for (uint32_t i = 0; i < count; ++i) {
    if (!ring_at(r, (uint64_t)(uintptr_t)iov[i].iov_base, iov[i].iov_len) || iov[i].iov_len > MAX_DATA - total) {
      illegal_request(entry, 0x24);
      return;
    }
    total += iov[i].iov_len;
  }
  int direction = data_direction(cdb, total);
  if (direction == SG_DXFER_TO_DEV) {
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
      memcpy(data + at, r->base + (uintptr_t)iov[i].iov_base, iov[i].iov_len);
      at += iov[i].iov_len;
    }
  }
  unsigned char sense[TCMU_SENSE_BUFFERSIZE] = {0};
  struct sg_io_hdr hdr;
  memset(&hdr, 0, sizeof(hdr));
  hdr.interface_id = 'S';
  hdr.cmdp = cdb;
  hdr.cmd_len = (unsigned char)cdb_length(cdb);
  hdr.dxfer_direction = direction;
  hdr.dxfer_len = (unsigned)total;
  hdr.dxferp = total ? data : NULL;
  hdr.sbp = sense;
  hdr.mx_sb_len = sizeof(sense);
  if (vcard_sg_io(card, &hdr) != 0) {
    illegal_request(entry, 0x20);
    return;
  }
  size_t moved = 0;
  if (direction == SG_DXFER_FROM_DEV) {
    moved = hdr.resid > 0 && (size_t)hdr.resid < total ? total - (size_t)hdr.resid : hdr.resid > 0 ? 0 : total;
    size_t at = 0;
    for (uint32_t i = 0; i < count && at < moved; ++i) {
      size_t n = iov[i].iov_len < moved - at ? iov[i].iov_len : moved - at;
      memcpy(r->base + (uintptr_t)iov[i].iov_base, data + at, n);
      at += iov[i].iov_len;
    }
  }
  entry->rsp.scsi_status = hdr.status;
  memcpy(entry->rsp.sense_buffer, sense, sizeof(sense));
  /* Data-in tells its length: a short transfer so shows its residue, and
   * the data of a CHECK CONDITION answer (ATA PASS-THROUGH with CK_COND)
   * reaches the initiator only with a valid length. */
  if (read_len_ok && direction == SG_DXFER_FROM_DEV) {
    entry->rsp.read_len = (uint32_t)moved;
    entry->hdr.uflags |= TCMU_UFLAG_READ_LEN;
  }
}

/* Answers every entry between cmd_tail and cmd_head; non-zero when any was. */
static int serve_ring(VCard *card, const struct ring *r, uint8_t *data)
{
  struct tcmu_mailbox *mb = (struct tcmu_mailbox *)r->base;
  int read_len_ok = (mb->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN) != 0, worked = 0;
  while (!stopping) {
    uint32_t head = __atomic_load_n(&mb->cmd_head, __ATOMIC_ACQUIRE), tail = mb->cmd_tail;
    if (tail == head)
      break;
    struct tcmu_cmd_entry *entry =
        (struct tcmu_cmd_entry *)ring_at(r, (uint64_t)mb->cmdr_off + tail, sizeof(struct tcmu_cmd_entry));
    if (entry == NULL)
      break;
    uint32_t length = tcmu_hdr_get_len(entry->hdr.len_op);
    switch (tcmu_hdr_get_op(entry->hdr.len_op)) {
    case TCMU_OP_PAD:
      break;
    case TCMU_OP_CMD:
      serve(card, r, entry, read_len_ok, data);
      break;
    default:
      entry->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP;
      break;
    }
    if (length == 0)
      break; /* a ring this handler does not understand: stop rather than spin */
    __atomic_store_n(&mb->cmd_tail, (tail + length) % mb->cmdr_size, __ATOMIC_RELEASE);
    worked = 1;
  }
  return worked;
}

int main(int argc, char **argv)
{
  if (argc != 3) {
    fprintf(stderr, "usage: qelcard-tcmu /dev/uioN CARD_DIR\n");
    return 2;
  }
  const char *node = argv[1], *uio = strrchr(argv[1], '/');
  uio = uio ? uio + 1 : node;
  char name[512], size_text[64];
  if (read_sysfs(uio, "name", name, sizeof(name)) != 0)
    return fail("cannot read the name of ", uio);
  /* tcm-user/HBA/NAME/SUBTYPE/PATH */
  const char *field = name;
  for (int i = 0; i < 3 && field; ++i)
    field = strchr(field + 1, '/');
  if (strncmp(name, "tcm-user/", 9) != 0 || field == NULL || strncmp(field + 1, subtype, strlen(subtype)) != 0 ||
      field[1 + strlen(subtype)] != '/')
    return fail("not a qelcard TCMU device: ", name);
  if (read_sysfs(uio, "maps/map0/size", size_text, sizeof(size_text)) != 0)
    return fail("cannot read the map size of ", uio);
  struct ring r = {NULL, strtoull(size_text, NULL, 0)};
  int fd = open(node, O_RDWR | O_CLOEXEC);
  if (fd < 0)
    return fail("cannot open ", node);
  void *map = mmap(NULL, r.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED)
    return fail("cannot map ", node);
  r.base = map;
  if (((struct tcmu_mailbox *)r.base)->version != TCMU_MAILBOX_VERSION)
    return fail("unknown TCMU mailbox version on ", node);
  uint8_t *data = malloc(MAX_DATA);
  char err[256];
  VCard *card = vcard_open(argv[2], err, sizeof(err));
  if (data == NULL || card == NULL)
    return fail("cannot open the card: ", card ? "out of memory" : err);
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = stop;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);
  sa.sa_handler = hangup;
  sigaction(SIGHUP, &sa, NULL);
  while (!stopping) {
    if (reload) {
      reload = 0;
      if (vcard_refresh(card) != 0)
        fprintf(stderr, "qelcard-tcmu: cannot read the card's settings again\n");
    }
    if (serve_ring(card, &r, data)) {
      uint32_t done = 0;
      if (write(fd, &done, sizeof(done)) != sizeof(done))
        break;
    }
    uint32_t events;
    if (read(fd, &events, sizeof(events)) < 0 && errno != EINTR)
      break; /* waits for the kernel's next command */
  }
  vcard_close(card);
  free(data);
  munmap(map, r.size);
  close(fd);
  return 0;
}
