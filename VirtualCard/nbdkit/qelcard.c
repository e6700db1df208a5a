/* nbdkit plugin that serves a virtual QC3300 card as a network block device.
 *
 *   nbdkit --unix SOCKET PATH/nbdkit-qelcard-plugin.so card=DIR
 *
 * A virtual machine that attaches the export as a disk (qemu's IDE or
 * SCSI disk over its NBD client) hands the sector reads and writes that
 * reach its disk to the card model, so the card's vendor channel sees what
 * a guest kernel sends. qemu's SCSI disk passes each READ/WRITE whole; its
 * IDE disk carries out a PIO command one sector at a time, so there a
 * command of n sectors arrives as n calls at consecutive addresses. The
 * disk's identity (IDENTIFY DEVICE, INQUIRY) is the virtual machine's own;
 * only sectors travel here.
 *
 * The card folder supports one open handle at a time, so the plugin opens
 * the card once when the server starts, shares it between connections and
 * lets nbdkit serialise every request.
 */
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include "CardModel.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_SERIALIZE_ALL_REQUESTS

enum { SECTOR = 512 };

static char *card_dir;
static VCard *card;

static void qelcard_unload(void)
{
  if (card)
    vcard_close(card);
  free(card_dir);
}

static int qelcard_config(const char *key, const char *value)
{
  if (strcmp(key, "card") == 0) {
    free(card_dir);
    card_dir = nbdkit_absolute_path(value);
    return card_dir ? 0 : -1;
  }
  nbdkit_error("unknown parameter '%s'", key);
  return -1;
}

static int qelcard_config_complete(void)
{
  if (!card_dir) {
    nbdkit_error("the parameter card=DIR is required");
    return -1;
  }
  return 0;
}

#define qelcard_config_help \
  "card=<DIR>     (required) Folder of the virtual card (qelvcard create)."

static int qelcard_get_ready(void)
{
  char err[256] = "";

  card = vcard_open(card_dir, err, sizeof err);
  if (!card) {
    nbdkit_error("%s: %s", card_dir, err);
    return -1;
  }
  return 0;
}

static void *qelcard_open(int readonly)
{
  (void)readonly;
  return card;
}

static int64_t qelcard_get_size(void *handle)
{
  return (int64_t)vcard_capacity(handle) * SECTOR;
}

/* The card answers whole sectors only; announcing it keeps the client's
 * requests aligned. */
static int qelcard_block_size(void *handle, uint32_t *minimum, uint32_t *preferred,
                              uint32_t *maximum)
{
  (void)handle;
  *minimum = SECTOR;
  *preferred = SECTOR;
  *maximum = 0xFFFFFFFF;
  return 0;
}

static int qelcard_is_rotational(void *handle)
{
  (void)handle;
  return 0;
}

static int qelcard_can_flush(void *handle)
{
  (void)handle;
  return 1;
}

/* The model persists every change before it returns, so a write is
 * already durable. */
static int qelcard_can_fua(void *handle)
{
  (void)handle;
  return NBDKIT_FUA_NATIVE;
}

static int qelcard_can_multi_conn(void *handle)
{
  (void)handle;
  return 1;
}

static int check_range(uint32_t count, uint64_t offset)
{
  if (count % SECTOR != 0 || offset % SECTOR != 0) {
    nbdkit_error("request of %u bytes at byte %llu is not in whole sectors", count,
                 (unsigned long long)offset);
    nbdkit_set_error(EINVAL);
    return -1;
  }
  return 0;
}

static int qelcard_pread(void *handle, void *buf, uint32_t count, uint64_t offset,
                         uint32_t flags)
{
  (void)flags;
  if (check_range(count, offset) != 0)
    return -1;
  if (vcard_read(handle, offset / SECTOR, count / SECTOR, buf) != 0) {
    nbdkit_set_error(EIO);
    return -1;
  }
  return 0;
}

static int qelcard_pwrite(void *handle, const void *buf, uint32_t count, uint64_t offset,
                          uint32_t flags)
{
  (void)flags;
  if (check_range(count, offset) != 0)
    return -1;
  if (vcard_write(handle, offset / SECTOR, count / SECTOR, buf) != 0) {
    nbdkit_set_error(EIO);
    return -1;
  }
  return 0;
}

static int qelcard_flush(void *handle, uint32_t flags)
{
  (void)handle;
  (void)flags;
  return 0;
}

static struct nbdkit_plugin plugin = {
  .name = "qelcard",
  .longname = "virtual QC3300 card",
  .description = "Serves a virtual QC3300 card folder as a disk.",
  .unload = qelcard_unload,
  .config = qelcard_config,
  .config_complete = qelcard_config_complete,
  .config_help = qelcard_config_help,
  .get_ready = qelcard_get_ready,
  .open = qelcard_open,
  .get_size = qelcard_get_size,
  .block_size = qelcard_block_size,
  .is_rotational = qelcard_is_rotational,
  .can_flush = qelcard_can_flush,
  .can_fua = qelcard_can_fua,
  .can_multi_conn = qelcard_can_multi_conn,
  .pread = qelcard_pread,
  .pwrite = qelcard_pwrite,
  .flush = qelcard_flush,
};

NBDKIT_REGISTER_PLUGIN(plugin)
