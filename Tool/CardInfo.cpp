// Device discovery for "-list" and the card identity display.
#include <stdio.h>
#include <string.h>

#include "EXCMDFunc.h"
#include "FlowGlobals.h"

namespace {

bool IsAtaDevice(QC3300* device) { return (device->GetAttribute() & kAttrAtaPassThrough) != 0; }

// Copies an ATA identity string of `words` 16-bit words into `out` (which
// holds 2 * words + 1 bytes): the first character of each word is its high
// byte.
void CopyAtaString(const unsigned char* data, int words, char* out) {
  for (int i = 0; i < words; ++i) {
    out[2 * i] = static_cast<char>(data[2 * i + 1]);
    out[2 * i + 1] = static_cast<char>(data[2 * i]);
  }
  out[2 * words] = '\0';
}

// Opens slot gQel3300Sel's recorded node in its own object.
bool OpenSelectedSlot() {
  gQel3300 = &mQel3300[gQel3300Sel];
  return gQel3300->OpenDevice(gQel3300DevName[gQel3300Sel]);
}

}  // namespace

bool ScanTarget() {
  gQel3300Sel = 0;
  gQel3300 = &mQel3300[0];
  QC3300* probe = gQel3300;
  probe->Initialize();
  int total = probe->GetTotalDevice();
  gQel3300Qty = 0;

  for (int i = 0; i < total && gQel3300Qty < kDeviceSlots; ++i) {
    char name[kDevNameSize] = {};
    probe->GetDeviceName(i, name);
    if (!probe->OpenDevice(name)) {
      debug_printf("Open Device fail: %s\n", name);
      continue;
    }
    unsigned char answer[1024];
    bool ata = IsAtaDevice(probe);
    if (probe->QelPreVendorCommand(answer, ata) == 0) {
      memcpy(gQel3300DevName[gQel3300Qty], name, kDevNameSize);
      debug_printf("Found QEL SSD Device %d\n", gQel3300Qty);
      debug_printf(ata ? "  SSD Device       : %s (ATA)\n" : "  SSD Device       : %s (SCSI)\n",
                   name);
      gQel3300Sel = gQel3300Qty;
      ShowCardInfo(0);
      ++gQel3300Qty;
    }
    probe->CloseDevice();
  }

  if (gQel3300Qty == 0) {
    debug_printf("The SSD device cannot be found %c\n", 0);
    return true;
  }

  if (gQel3300Qty == 1) {
    gQel3300Sel = 0;
    if (!OpenSelectedSlot()) {
      debug_printf("\nOpen Device Error: %s(%d)\n", gQel3300DevName[0], 0);
      return true;
    }
    debug_printf("Selected SSD device:  => %s\n", gQel3300DevName[0]);
    return false;
  }

  gQel3300Sel = 0;
  debug_printf("\nPlease select SSD device:  ");
  int key = getch();
  if (key < '0' || key >= '0' + gQel3300Qty) {
    debug_printf("\n");
    debug_printf("Index Error %c\n", key);
    return true;
  }
  gQel3300Sel = key - '0';
  if (!OpenSelectedSlot()) {
    debug_printf("\nOpen Device Error: %s(key:%c)\n", gQel3300DevName[gQel3300Sel], key);
    return true;
  }
  debug_printf("=> %s\n", gQel3300DevName[gQel3300Sel]);
  ShowCardInfo(0);
  return false;
}

CardIdentity g_CardIdentity;

CardIdentity IdentityOf(const unsigned char* idTable) {
  CardIdentity id = {};
  id.valid = true;
  // Words 10-19 serial number, 23-26 firmware revision, 27-46 model name,
  // 108-111 world wide name.
  CopyAtaString(idTable + 20, 10, id.serial);
  CopyAtaString(idTable + 46, 4, id.firmware);
  CopyAtaString(idTable + 54, 20, id.model);
  trim(id.serial);
  trim(id.model);
  trim(id.firmware);
  for (int word = 0; word < 4; ++word) {
    const unsigned char* w = idTable + 2 * (108 + word);
    snprintf(id.wwn + 4 * word, sizeof(id.wwn) - 4 * word, "%02X%02X", w[1], w[0]);
  }
  return id;
}

void ShowCardInfo(int layout) {
  char* serial = gQel3300SN_Info[gQel3300Sel];
  char* model = gQel3300MN_Info[gQel3300Sel];
  char* firmware = gQel3300FW_Info[gQel3300Sel];
  memset(serial, 0, sizeof(gQel3300SN_Info[0]));
  memset(model, 0, sizeof(gQel3300MN_Info[0]));
  memset(firmware, 0, sizeof(gQel3300FW_Info[0]));
  g_CardIdentity = CardIdentity();
  if (!gQel3300->isOpened()) return;

  unsigned char identity[4096] = {};
  int result = IsAtaDevice(gQel3300) ? gQel3300->ReadIdentify(identity)
                                     : gQel3300->ReadConfigureTable(identity);
  if (result != 0) {
    debug_printf("Read Identify fail...\n");
    return;
  }
  g_CardIdentity = IdentityOf(identity);
  snprintf(serial, sizeof(gQel3300SN_Info[0]), "%s", g_CardIdentity.serial);
  snprintf(model, sizeof(gQel3300MN_Info[0]), "%s", g_CardIdentity.model);
  snprintf(firmware, sizeof(gQel3300FW_Info[0]), "%s", g_CardIdentity.firmware);

  switch (layout) {
    case 1:
      debug_printf("Card Information..................Success\n");
      debug_printf("Serial Number: %s\n", serial);
      debug_printf("Model Name   : %s\n", model);
      debug_printf("Firmware Ver : %s\n", firmware);
      break;
    case 2:
      debug_printf("\n");
      debug_printf("----------- Card Information ------------\n");
      debug_printf("Serial Number: %s\n", serial);
      debug_printf("Model Name   : %s\n", model);
      debug_printf("Firmware Ver : %s\n", firmware);
      debug_printf("-----------------------------------------\n");
      break;
    default:
      debug_printf("  Serial Number    : %s\n", serial);
      debug_printf("  Model Name       : %s\n", model);
      debug_printf("  Firmware Version : %s\n", firmware);
      break;
  }
}
