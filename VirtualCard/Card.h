// Inside of the virtual card: the state of one open card and the operations
// that the transport (SG_IO, or plain sector calls) drives.
//
// Persisted in the card folder:
//   card.conf     settings and remembered state (CardConfig)
//   idtable.bin   the ID table of the running firmware (IDENTIFY's source)
//   isp1.bin      ISP copy 1 as programmed: section-4 body + section-5 body
//   isp2.bin      ISP copy 2
//   dm-saved.bin  microcode saved by DOWNLOAD MICROCODE 0Eh, awaiting 0Fh
//   sectors.img   user sectors (sparse; sector n at byte n*512)
//   journal.log   one line per command received
// Controller RAM (loaded loaders and images) and the vendor exchange in
// progress live only in the handle, like RAM lives only while powered.
#ifndef QEL_VIRTUALCARD_CARD_H_
#define QEL_VIRTUALCARD_CARD_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "CardConfig.h"
#include "CardModel.h"
#include "IspImage.h"

namespace vcard {

// ATA ERROR register bits the card reports.
constexpr uint8_t kAbrt = 0x04;
constexpr uint8_t kIdnf = 0x10;
constexpr uint8_t kUnc = 0x40;

constexpr uint32_t kVendorLba = 0x946B;

// Result of one ATA-level operation: error 0 means success; count is the
// COUNT output register (DOWNLOAD MICROCODE completion code and the like).
struct Outcome {
  uint8_t error = 0;
  uint8_t count = 0;
};

// Load addresses of controller RAM the loaders and images go to.
enum RamRegion { kShimRam, kMpIspRam, kIspRam, kRamRegions };

enum class Exchange {
  kIdle,       // no vendor command; unlockStep counts unlock reads seen
  kUnlocked,   // answer sector delivered; next write at 0x946B is a block
  kReadData,   // read-type command executed; its data is read at 0x946B
  kWriteData,  // write-type command waits for its data at 0x946B
};

enum DmState { kDmIdle, kDmReceiving };

}  // namespace vcard

struct VCard {
  std::string dir;
  vcard::CardConfig cfg;
  uint8_t idTable[vcard::kIdTableSize] = {};
  int sectorsFd = -1;
  int journalFd = -1;

  // Vendor channel.
  vcard::Exchange exchange = vcard::Exchange::kIdle;
  int unlockStep = 0;
  uint8_t block[512] = {};
  std::vector<uint8_t> answer;
  // A data phase may arrive in pieces (an IDE disk hands PIO transfers over
  // one sector at a time): sectors moved so far, and where the piece now
  // handed to a write-type command starts in its data.
  uint32_t dataSectors = 0;
  size_t dataOffset = 0;

  // Controller RAM.
  std::vector<uint8_t> ram[vcard::kRamRegions];

  // DOWNLOAD MICROCODE segments received so far.
  vcard::DmState dmState = vcard::kDmIdle;
  int dmMode = 0;
  std::vector<uint8_t> dmData;

  // Per-handle counters.
  uint64_t commands = 0;
  size_t dmCodeIndex = 0;

  // Notes gathered while a command runs, for its journal line.
  std::string note;
};

namespace vcard {

// --- Persistence (CardStore.cpp) ---

// Creates a new card in dir (made if missing) with the given settings and
// identity. With the ISP firmware running, both ISP copies are programmed
// with a synthetic image of that identity; otherwise the flash is blank.
bool CreateCard(const std::string& dir, const CardConfig& cfg, const IdentityEdit& identity,
                std::string* err);

// Reads card.conf and idtable.bin into card (settings and state only).
bool LoadCardState(VCard* card, std::string* err);

// Rewrites card.conf (only called when something in it changed).
bool SaveConfig(VCard* card);
bool SaveIdTable(VCard* card);

// Changes settings/identity of a card ("qelvcard set"). 0 on success, 2 for
// a bad option or combination, 1 when the folder cannot be read or written;
// err holds a one-line reason.
int UpdateCard(const std::string& dir, const std::vector<std::string>& options, std::string* err);

// ISP copies: read one (empty when blank), program both.
bool ReadCopy(const VCard* card, int copy, std::vector<uint8_t>* data);
bool ProgramCopies(VCard* card, const std::vector<uint8_t>& copy);

// Deferred microcode (DOWNLOAD MICROCODE 0Eh).
bool SaveDeferred(VCard* card, const std::vector<uint8_t>& image);
bool TakeDeferred(VCard* card, std::vector<uint8_t>* image);  // false when none

// Appends one journal line (adds the line end).
void Journal(VCard* card, const std::string& line);

// Makes dir and its missing parents.
bool MakeDirs(const std::string& dir);

// Whole-file helpers that never leave a half-written file under the name.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data);
bool WriteFileAtomic(const std::string& path, const void* data, size_t size);

// --- Controller (Controller.cpp) ---

// Sector access as any READ/WRITE command delivers it: runs the vendor
// channel, otherwise user data. buf holds count * 512 bytes.
Outcome ReadSectors(VCard* card, uint64_t lba, uint32_t count, uint8_t* buf);
Outcome WriteSectors(VCard* card, uint64_t lba, uint32_t count, const uint8_t* buf);

// Any command other than a sector access ends an exchange in progress.
void InterruptExchange(VCard* card);

// The 512 bytes that IDENTIFY DEVICE and ReadConfigureTable answer.
void IdentifyData(const VCard* card, uint8_t out[kIdTableSize]);

// The host powers the card on (a handle is opened): microcode saved by
// DOWNLOAD MICROCODE 0Eh and not yet activated becomes the firmware now.
void PowerOn(VCard* card);

// Power is cut: controller RAM and the running program are lost, and the
// card comes up as at power-on, in the ISP firmware when copy 1 holds one,
// else in the boot ROM.
void PowerCut(VCard* card);

// One DOWNLOAD MICROCODE (0x92/0x93) command. blocks of 512 bytes at data.
Outcome DownloadMicrocode(VCard* card, uint8_t subcommand, uint32_t blocks, uint32_t offset,
                          const uint8_t* data, bool dma);

}  // namespace vcard

#endif  // QEL_VIRTUALCARD_CARD_H_
