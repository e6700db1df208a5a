#include "VendorCommand.h"

#include <string.h>

namespace {

constexpr uint8_t kReadType = 0xF0;
constexpr uint8_t kWriteType = 0xF1;

}  // namespace

// Rows in VendorOp order. Field lists follow the order in which the methods
// pass their arguments.
const VendorCommand kVendorCommands[kVoCount] = {
    // ReadFlashAuto: a1, a2, a3, a4, a5, a6, a7, a8, n
    {kReadType,
     0x33,
     kVdIn,
     {{kVlBE16, 2},
      {kVlBE16, 9},
      {kVlByte, 5},
      {kVlByte, 6},
      {kVlByte, 8},
      {kVlByte, 13},
      {kVlByte, 14},
      {kVlByte, 15},
      {kVlByte, 11}},
     {}},
    // ReadFlashPhy: block, page, a3, a4, mode, ceCh, a7, a8, a9, n
    {kReadType,
     0x0A,
     kVdIn,
     {{kVlBE16, 2},
      {kVlPage, 4},
      {kVlByte, 5},
      {kVlByte, 6},
      {kVlByte, 8},
      {kVlByte, 10},
      {kVlByte, 13},
      {kVlByte, 14},
      {kVlByte, 15},
      {kVlByte, 11}},
     {}},
    // ResetCPU: toRom (0 for the base form)
    {kReadType, 0x2C, kVdIn, {{kVlByte, 2}}, {}},
    // EraseFlash: block, a2
    {kReadType, 0x0C, kVdIn, {{kVlBE16, 2}, {kVlByte, 13}}, {{11, 1}}},
    // DumpLinkTable
    {kReadType, 0x21, kVdIn, {}, {}},
    // DumpH2Ftable: addr, n
    {kReadType, 0x32, kVdIn, {{kVlBE32, 2}, {kVlByte, 11}}, {}},
    // DumpDramData: addr, n
    {kReadType, 0x2A, kVdIn, {{kVlBE32, 2}, {kVlByte, 11}}, {}},
    // DumpEraseCount
    {kReadType, 0x06, kVdIn, {}, {}},
    // ReadPar
    {kReadType, 0x04, kVdIn, {}, {}},
    // ReadFlashID
    {kReadType, 0x20, kVdIn, {}, {}},
    // LoadWProPage: a1
    {kReadType, 0x05, kVdIn, {{kVlByte, 5}}, {}},
    // ReadChunkAuto: a1, a2, n
    {kReadType, 0x11, kVdIn, {{kVlBE16, 2}, {kVlBE16, 9}, {kVlByte, 11}}, {}},
    // ReadChunkPhy: block, ceCh, page, a4, n
    {kReadType,
     0x4A,
     kVdIn,
     {{kVlBE16, 2}, {kVlByte, 10}, {kVlPage, 4}, {kVlByte, 13}, {kVlByte, 11}},
     {}},
    // ReadBufData: n
    {kReadType, 0x0B, kVdIn, {{kVlByte, 11}}, {}},
    // ReadQelStatus
    {kReadType, 0x30, kVdIn, {}, {}},
    // ManualMarkBad: block
    {kReadType, 0xBB, kVdIn, {{kVlBE16, 2}}, {}},
    // ReadOPT: a1
    {kReadType, 0x0F, kVdIn, {{kVlByte, 10}}, {}},
    // DumpStrongPageTable
    {kReadType, 0x1B, kVdIn, {}, {}},
    // ReadConfigureTable
    {kReadType, 0x3F, kVdIn, {}, {}},
    // DumpLTS
    {kReadType, 0xBE, kVdIn, {}, {}},
    // GetRdtEraseCount
    {kReadType, 0xBD, kVdIn, {}, {}},
    // GetRdtResult
    {kReadType, 0xBC, kVdIn, {}, {}},
    // ReadSmartInfo: a1
    {kReadType, 0x3E, kVdIn, {{kVlByte, 3}}, {}},
    // DumpWordLineTable
    {kReadType, 0x22, kVdIn, {}, {}},
    // ReadLogPage: a1
    {kReadType, 0xEB, kVdIn, {{kVlLE16, 2}}, {}},
    // WriteFlash, WriteFlashWithSpare: block, page, mode, ceCh, a5
    {kWriteType,
     0x0B,
     kVdOut,
     {{kVlBE16, 2}, {kVlPage, 4}, {kVlByte, 8}, {kVlByte, 10}, {kVlByte, 13}},
     {}},
    // WriteDramData: addr, len - 1
    {kWriteType, 0x2B, kVdOut, {{kVlBE32, 2}, {kVlBE16, 6}}, {}},
    // WriteMPISPData, WritePrtestData: addr
    {kWriteType, 0x27, kVdOut, {{kVlLE32, 6}}, {}},
    // WriteISPDataByFW: flag byte (0x80 or 0), addr
    {kWriteType, 0x88, kVdOut, {{kVlByte, 3}, {kVlBE16, 4}}, {}},
    // JumpCode, JumpCodePretest: addr
    {kWriteType, 0x28, kVdZeroSector, {{kVlLE32, 6}}, {}},
    // SetRetryTable
    {kWriteType, 0x0E, kVdOut, {}, {}},
    // WriteDRAMSetData: addr, s1, s2, s3
    {kWriteType, 0x27, kVdOut, {{kVlLE32, 6}, {kVlByte, 11}, {kVlByte, 18}, {kVlByte, 27}}, {}},
    // JumpDRAMSetCode: addr, s1, s2, s3
    {kWriteType,
     0x28,
     kVdZeroSector,
     {{kVlLE32, 6}, {kVlByte, 11}, {kVlByte, 18}, {kVlByte, 27}},
     {}},
    // ActiveMpIspIspCode: addr
    {kReadType, 0x60, kVdIn, {{kVlLE32, 6}}, {}},
    // RunPretestCode
    {kReadType, 0x61, kVdIn, {}, {}},
    // ReadDieBaseSysBlk: a1, a2, a3, n
    {kReadType, 0x12, kVdIn, {{kVlBE16, 2}, {kVlByteTwice, 9}, {kVlByte, 8}, {kVlByte, 11}}, {}},
    // SetProductFlag
    {kReadType, 0x6F, kVdIn, {}, {}},
    // WriteEFuse: a1, a2
    {kReadType, 0x64, kVdIn, {{kVlByte, 2}, {kVlByte, 4}}, {}},
    // DownloadSignature
    {kWriteType, 0x63, kVdOut, {}, {}},
    // DownloadISPToRAMTSB3D: addr
    {kWriteType, 0x34, kVdOut, {{kVlLE32, 6}}, {}},
    // ActiveISPTSB3D: a1, a2, a3
    {kWriteType, 0x35, kVdBlockAgain, {{kVlLE16, 2}, {kVlLE16, 4}, {kVlLE32, 6}}, {}},
    // CheckISPDLSuccess
    {kReadType, 0xC1, kVdIn, {}, {}},
    // ReadFlashAutoTSB3D: a1, a2, a3, a4, a5, a6, a7, a8, a9, n
    {kReadType,
     0x33,
     kVdIn,
     {{kVlByte, 3},
      {kVlByte, 2},
      {kVlBE16, 9},
      {kVlByte, 5},
      {kVlByte, 6},
      {kVlByte, 8},
      {kVlByte, 13},
      {kVlByte, 14},
      {kVlByte, 15},
      {kVlByte, 11}},
     {{4, 1}}},
    // EraseFlashTSB3D: a1, a2 | 0x02
    {kReadType, 0x0C, kVdIn, {{kVlByte, 3}, {kVlByte, 13}}, {{11, 1}}},
};

namespace {

void PutField(unsigned char block[kSectorBytes], const VendorField& field, unsigned long value) {
  unsigned char* p = block + field.at;
  switch (field.layout) {
    case kVlEnd:
      break;
    case kVlByte:
      p[0] = value & 0xFF;
      break;
    case kVlByteTwice:
      p[0] = p[1] = value & 0xFF;
      break;
    case kVlBE16:
      p[0] = (value >> 8) & 0xFF;
      p[1] = value & 0xFF;
      break;
    case kVlLE16:
      p[0] = value & 0xFF;
      p[1] = (value >> 8) & 0xFF;
      break;
    case kVlBE32:
      for (int i = 0; i < 4; ++i) p[i] = (value >> (24 - 8 * i)) & 0xFF;
      break;
    case kVlLE32:
      for (int i = 0; i < 4; ++i) p[i] = (value >> (8 * i)) & 0xFF;
      break;
    case kVlPage:
      p[0] = value & 0xFF;
      p[3] = (value >> 8) & 0xFF;
      break;
  }
}

}  // namespace

int VendorSectorBytes(int n) {
  return (n < 0 || n > kMaxSectorsPerCommand) ? -1 : n * kSectorBytes;
}

int SendVendorCommand(SSDCMD& device, VendorOp op, const VendorArgs& args, void* data, int length,
                      const unsigned char* preset) {
  const VendorCommand& command = kVendorCommands[op];
  unsigned char block[kSectorBytes];
  if (preset != nullptr) {
    memcpy(block, preset, sizeof block);
  } else {
    memset(block, 0, sizeof block);
  }
  block[0] = command.commandClass;
  block[1] = command.subOpcode;
  for (int i = 0; i < args.count && command.fields[i].layout != kVlEnd; ++i) {
    PutField(block, command.fields[i], args.values[i]);
  }
  for (const VendorConstant& constant : command.constants) {
    if (constant.at == 0) break;
    block[constant.at] = constant.value;
  }

  switch (command.data) {
    case kVdIn:
      if (data != nullptr) return device.QelTestRead(block, data, length);
      {
        unsigned char answer[kSectorBytes];
        return device.QelTestRead(block, answer, sizeof answer);
      }
    case kVdOut:
      return device.QelTestWrite(block, data, length);
    case kVdZeroSector: {
      unsigned char zeros[kSectorBytes] = {};
      return device.QelTestWrite(block, zeros, sizeof zeros);
    }
    case kVdBlockAgain:
      return device.QelTestWrite(block, block, sizeof block);
  }
  return -6;
}
