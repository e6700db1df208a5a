// The one builder of the controller's 512-byte vendor command blocks. Every
// command is a row of one table: class byte (0xF0 read-type, 0xF1
// write-type), sub-opcode, where each argument goes in which byte order, a
// few constant bytes, and what the data phase moves. The command methods of
// QC3100/QC3200/QC3300 only name their row and hand over their arguments.
#ifndef QEL_LIBRARY_VENDORCOMMAND_H_
#define QEL_LIBRARY_VENDORCOMMAND_H_

#include <stdint.h>

#include "SSDCMD.h"

// How one argument is laid into the block at byte `at`. A field keeps only
// the argument's low bits.
enum VendorLayout : uint8_t {
  kVlEnd = 0,    // no more arguments
  kVlByte,       // bits 0-7 at `at`
  kVlByteTwice,  // bits 0-7 at `at` and at `at` + 1
  kVlBE16,       // bits 8-15 at `at`, bits 0-7 at `at` + 1
  kVlLE16,       // bits 0-7 at `at`, bits 8-15 at `at` + 1
  kVlBE32,       // bits 24-31 first
  kVlLE32,       // bits 0-7 first
  kVlPage,       // bits 0-7 at `at`, bits 8-15 at `at` + 3
};

struct VendorField {
  VendorLayout layout;
  uint8_t at;
};

struct VendorConstant {
  uint8_t at;  // 0 ends the list (byte 0 is the class byte)
  uint8_t value;
};

enum VendorData : uint8_t {
  kVdIn,          // card -> caller's buffer; without a buffer one answer sector is read and dropped
  kVdOut,         // caller's buffer -> card
  kVdZeroSector,  // one sector of zeros -> card
  kVdBlockAgain,  // the command block itself -> card
};

struct VendorCommand {
  uint8_t commandClass;
  uint8_t subOpcode;
  VendorData data;
  VendorField fields[10];
  VendorConstant constants[2];
};

enum VendorOp {
  kVoReadFlashAuto,
  kVoReadFlashPhy,
  kVoResetCPU,
  kVoEraseFlash,
  kVoDumpLinkTable,
  kVoDumpH2Ftable,
  kVoDumpDramData,
  kVoDumpEraseCount,
  kVoReadPar,
  kVoReadFlashID,
  kVoLoadWProPage,
  kVoReadChunkAuto,
  kVoReadChunkPhy,
  kVoReadBufData,
  kVoReadQelStatus,
  kVoManualMarkBad,
  kVoReadOPT,
  kVoDumpStrongPageTable,
  kVoReadConfigureTable,
  kVoDumpLTS,
  kVoGetRdtEraseCount,
  kVoGetRdtResult,
  kVoReadSmartInfo,
  kVoDumpWordLineTable,
  kVoReadLogPage,
  kVoWriteFlash,
  kVoWriteDramData,
  kVoWriteMPISPData,
  kVoWriteISPDataByFW,
  kVoJumpCode,
  kVoSetRetryTable,
  kVoWriteDRAMSetData,
  kVoJumpDRAMSetCode,
  kVoActiveMpIspIspCode,
  kVoRunPretestCode,
  kVoReadDieBaseSysBlk,
  kVoSetProductFlag,
  kVoWriteEFuse,
  kVoDownloadSignature,
  kVoDownloadISPToRAMTSB3D,
  kVoActiveISPTSB3D,
  kVoCheckISPDLSuccess,
  kVoReadFlashAutoTSB3D,
  kVoEraseFlashTSB3D,
  kVoCount
};

extern const VendorCommand kVendorCommands[kVoCount];

// The arguments of one command, in its row's field order.
struct VendorArgs {
  template <typename... T>
  VendorArgs(T... v) : values{static_cast<unsigned long>(v)...}, count(sizeof...(T)) {
    static_assert(sizeof...(T) <= 10, "a vendor command has at most 10 arguments");
  }
  unsigned long values[10];
  int count;
};

// Builds the block of `op` over `preset` (512 bytes, or null for zeros) with
// `args` in the row's field order, and runs it through the vendor channel
// with `length` bytes of `data` (kVdIn, kVdOut). Returns the channel's code.
int SendVendorCommand(SSDCMD& device, VendorOp op, const VendorArgs& args, void* data = nullptr,
                      int length = 0, const unsigned char* preset = nullptr);

// Data length of n sectors; -1 (refused by the channel) outside 0..255.
int VendorSectorBytes(int n);

#endif  // QEL_LIBRARY_VENDORCOMMAND_H_
