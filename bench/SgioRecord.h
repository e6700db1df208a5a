// The file format shared by the SG_IO recorder (a preload library put in
// front of the virtual card's) and bench_sgio_floor, which replays and totals
// a recording: a sequence of events, each a fixed header followed by
// `payload` bytes (the node path of an open, the outgoing data of a
// command).
#ifndef QEL_BENCH_SGIORECORD_H_
#define QEL_BENCH_SGIORECORD_H_

#include <stdint.h>

// Environment variable naming the file the recorder appends to.
#define SGIO_RECORD_ENV "QEL_SGIO_RECORD"

enum SgioEventKind : uint32_t {
  kEventOpen = 1,      // fd, flags; payload: the path
  kEventClose = 2,     // fd
  kEventSgIo = 3,      // fd and the request; payload: the data sent to the device
  kEventSleep = 4,     // value: nanoseconds of a sleep the process asked for
  kEventHeapPeak = 5,  // value: most bytes the process itself held on the heap at
                       // once, the card's allocations left out; recorded at exit
};

struct SgioEvent {
  uint32_t kind;
  int32_t fd;
  int32_t flags;      // open flags, or sg_io_hdr flags
  int32_t direction;  // sg_io_hdr dxfer_direction
  uint32_t dxferLen;
  uint32_t timeout;
  uint64_t value;
  uint8_t cmdLen;
  uint8_t mxSbLen;
  uint8_t cmd[16];
  uint8_t reserved[2];
  uint32_t payload;
};

#endif  // QEL_BENCH_SGIORECORD_H_
