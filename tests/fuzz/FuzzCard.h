// The card on the far side of SG_IO for the fuzz targets: the executable
// defines ioctl(), and every SG_IO request on the tool's device object is
// answered here from what the current input chose (flash ID table,
// parameter block, ISP pages, IDENTIFY data, completion codes, a failing
// command). The device object stays open across inputs on a regular file in
// a private working directory, so no input pays the open and close pauses.
#ifndef QEL_TESTS_FUZZ_FUZZCARD_H_
#define QEL_TESTS_FUZZ_FUZZCARD_H_

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// Bytes of a fuzz input handed out in order; past the end they read as zero.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte();
  uint16_t Word();  // little-endian
  // Copies n bytes into out (zero-filled past the end).
  void Take(uint8_t* out, size_t n);
  // Everything not taken yet.
  const uint8_t* Rest() const { return data_ + pos_; }
  size_t RestSize() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

struct FuzzCard {
  enum { kFlashIdBytes = 1024, kParameterBytes = 7168, kIdentifyBytes = 512 };

  // Answers of the read-type vendor commands and of IDENTIFY DEVICE.
  std::vector<uint8_t> flashIdTable;  // ReadFlashID
  std::vector<uint8_t> parameter;     // ReadPar and the parameter page read
  std::vector<uint8_t> identify;      // IDENTIFY DEVICE, ReadConfigureTable
  // A plane page of an ISP block (ReadFlashPhy other than the parameter
  // page): block, page, plane and die address as the command block names them.
  std::function<void(int block, int page, int plane, int die, uint8_t* out, size_t length)> ispPage;
  // Completion code of a DOWNLOAD MICROCODE command; negative fails it.
  std::function<int(int subCommand, int blocks)> completion;
  // The 1-based command of this input that the card fails (0: none).
  uint32_t failAt = 0;

  // What the card received during this input.
  uint32_t commands = 0;
  std::vector<uint8_t> loaded;  // controller memory from 0x80000000 (ISP chunks)
  struct Download {
    int subCommand, offset, blocks;
  };
  std::vector<Download> downloads;  // DOWNLOAD MICROCODE commands, in order

  // A card running its ISP firmware: 4 dies of one channel each on CE 0,
  // 4 planes, 64 sectors per page, 512 pages per block, 1024 blocks, system
  // block 5, ISP copies in blocks 8 and 11, ready.
  void SetHealthyCard();
};

// The card, set up on first use: working directory, device object on a
// regular file, image set file names under ./REGBIN/3300.
FuzzCard& Card();

// Prepares the card for the next input: healthy answers, no failure, the
// device object open again (a failed ATA command closes it).
FuzzCard& NextInput();

// Writes bytes to a file of the working directory; false on failure.
bool WriteFile(const char* path, const uint8_t* data, size_t size);
bool ReadFile(const char* path, std::vector<uint8_t>* data);

// Stops the run (a finding) when a property of the product does not hold.
void FuzzCheck(bool condition, const char* what);

// The fuzz entry points, one per file or answer the tool reads; each
// returns 0 (libFuzzer's convention).
int FuzzIni(const uint8_t* data, size_t size);
int FuzzFlashId(const uint8_t* data, size_t size);
int FuzzIspFile(const uint8_t* data, size_t size);
int FuzzPersonalize(const uint8_t* data, size_t size);
int FuzzVerifyIsp(const uint8_t* data, size_t size);
int FuzzCardMode(const uint8_t* data, size_t size);
int FuzzMicrocode(const uint8_t* data, size_t size);

struct FuzzTarget {
  const char* name;
  int (*entry)(const uint8_t*, size_t);
};
extern const FuzzTarget kFuzzTargets[];
extern const size_t kFuzzTargetCount;

#endif  // QEL_TESTS_FUZZ_FUZZCARD_H_
