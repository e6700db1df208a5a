// The one DOWNLOAD MICROCODE driver: capability and transfer-size checks
// against IDENTIFY data, the chunk loop with completion-code judgement, and
// the activation after a saved (code 3) download. SSDCMD::DMicrocodeChk turns
// its outcome into result codes; the tool's flow turns it into messages.
#ifndef QEL_LIBRARY_MICROCODEDOWNLOAD_H_
#define QEL_LIBRARY_MICROCODEDOWNLOAD_H_

#include "SSDCMD.h"

enum MicrocodeStop {
  kMcOk = 0,
  kMcNotSupported,       // word 83 bit 0 clear
  kMcDmaNotSupported,    // DMA asked, word 69 bit 8 clear
  kMcTransferSize,       // blocks per command 0 / > 65534 / outside words 234..235, or
                         // a count or offset that does not fit its 16-bit field
  kMcMode3NotSupported,  // sub-command 3, word 119 bit 4 clear
  kMcSubCommand,         // not 3, 7 or 14
  kMcNoMemory,
  kMcLastChunkTooSmall,  // last chunk below word 234
  kMcCommandFailed,      // a chunk's DOWNLOAD MICROCODE failed
  kMcCompletionCode,     // unexpected completion code after a chunk
  kMcActivateFailed,     // the 0x0F activation command failed
  kMcActivateCode,       // activation answered a code other than 2
};

struct MicrocodeOutcome {
  MicrocodeStop stop;
  int completionCode;  // last completion code seen (status byte 13), -1 before any;
                       // after an activation, the activation's code
  int chunksSent;      // chunk commands the disk completed (the activation not counted)
};

// Sends totalBlocks blocks of image in chunks of blocksPerCommand (the last
// chunk may be shorter) with the given sub-command (3, 7 or 14), judges each
// completion code, and activates (sub-command 0x0F) after a download that
// ended with code 3. Nothing is printed. A total of 0 sends nothing.
// `chunkDone`, when given, hears the blocks sent so far after each chunk the
// disk completed (the tool draws its progress line from it).
MicrocodeOutcome RunMicrocodeDownload(SSDCMD& device, int subCommand, int totalBlocks,
                                      int blocksPerCommand, unsigned char* image,
                                      unsigned char* identify, bool dma,
                                      void (*chunkDone)(void* context, int blocksSent) = nullptr,
                                      void* context = nullptr);

#endif  // QEL_LIBRARY_MICROCODEDOWNLOAD_H_
