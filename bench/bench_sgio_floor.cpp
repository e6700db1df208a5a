// The floor of a flow's cost: the very opens, SG_IO requests and closes that
// a recorded run sent to its disk nodes (see sgio_recorder.cpp), issued in a
// tight loop with no console output and no sleeps.
//
//   bench_sgio_floor replay RECORD          the requests alone
//   bench_sgio_floor replay RECORD TRACE    the requests, each traced into
//       TRACE as the transport traces it: the record text of the library's
//       trace formatter, appended before the request and after it, the file
//       opened and closed each time. For the tool's own runs TRACE comes out
//       byte for byte like the tool's trace file.
//   bench_sgio_floor summary RECORD         what the recording holds:
//     "commands=N to_device=BYTES from_device=BYTES opens=N sleep_ms=MS
//      heap_peak=BYTES"
//
// The recording is streamed rather than loaded, so that the replay's memory
// does not grow with the data it sends.
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "SSDCMD.h"
#include "SgioRecord.h"
#include "TraceFormat.h"

namespace {

constexpr int kMaxFd = 4096;
constexpr size_t kStreamBuffer = 1 << 20;

struct Totals {
  unsigned long long commands = 0, toDevice = 0, fromDevice = 0, opens = 0, sleepNs = 0,
                     heapPeak = 0;
};

// Reads the next event and its payload; false at the end of the recording.
bool NextEvent(FILE* in, SgioEvent* event, std::vector<unsigned char>* payload) {
  if (fread(event, sizeof *event, 1, in) != 1) return false;
  payload->resize(event->payload);
  return event->payload == 0 || fread(payload->data(), event->payload, 1, in) == 1;
}

// An open node of the replay: its descriptor and the name the trace shows.
struct Node {
  int fd = -1;
  std::string path;
};

// The task-file fields that the trace header shows, taken back from the
// command block the transport built from them: the 16-byte ATA PASS-THROUGH
// form or the 12-byte SCSI form.
__SSD_PASS_THROUGH_DIRECT RecordOf(const SgioEvent& event) {
  __SSD_PASS_THROUGH_DIRECT record = {};
  const uint8_t* cdb = event.cmd;
  if (event.cmdLen == 16) {
    record.LBALow = static_cast<uint16_t>(cdb[7] << 8 | cdb[8]);
    record.LBAMid = static_cast<uint16_t>(cdb[9] << 8 | cdb[10]);
    record.LBAHigh = static_cast<uint16_t>(cdb[11] << 8 | cdb[12]);
    record.Command = cdb[14];
  } else {
    record.LBALow = cdb[5];
    record.LBAMid = cdb[4];
    record.LBAHigh = cdb[3];
    record.Command = cdb[0];
  }
  return record;
}

// Appends text to the trace file, opened and closed around the write.
void AppendToTrace(const char* trace, const std::string& text) {
  int fd = open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd >= 0) WriteAndCloseTrace(fd, text);
}

// Sends one recorded request on node; with a trace file, traces it the way
// the transport does.
void Send(const SgioEvent& event, std::vector<unsigned char>& payload,
          std::vector<unsigned char>& incoming, const Node& node, const char* trace) {
  unsigned char sense[256] = {};
  sg_io_hdr_t hdr;
  memset(&hdr, 0, sizeof hdr);
  hdr.interface_id = 'S';
  hdr.dxfer_direction = event.direction;
  hdr.cmd_len = event.cmdLen;
  hdr.mx_sb_len = event.mxSbLen;
  hdr.dxfer_len = event.dxferLen;
  unsigned char cdb[16];
  memcpy(cdb, event.cmd, sizeof cdb);
  hdr.cmdp = cdb;
  hdr.sbp = sense;
  hdr.timeout = event.timeout;
  hdr.flags = static_cast<unsigned int>(event.flags);
  const bool toDevice = event.direction == SG_DXFER_TO_DEV;
  const bool fromDevice = event.direction == SG_DXFER_FROM_DEV;
  if (toDevice) {
    hdr.dxferp = payload.data();
  } else if (event.dxferLen > 0) {
    if (incoming.size() < event.dxferLen) incoming.resize(event.dxferLen);
    hdr.dxferp = incoming.data();
  }
  const int length = static_cast<int>(event.dxferLen);

  std::string text;
  if (trace != nullptr) {
    // The handle shown is the recorded run's, so that the texts compare.
    AppendTraceHeader(text, node.path.c_str(), event.fd, RecordOf(event));
    if (toDevice) AppendTraceWriteData(text, payload.data(), length);
    AppendToTrace(trace, text);
  }
  // The outcome is the card's business: the run is checked by comparing the
  // card's journal with the recorded run's.
  errno = 0;
  int ret = ioctl(node.fd, SG_IO, &hdr);
  int ioctlErrno = errno;
  if (trace != nullptr) {
    text.clear();
    AppendTraceResult(text, cdb, event.cmdLen == 16, ret, ioctlErrno, sense);
    if (fromDevice) AppendTraceReadData(text, incoming.data(), length);
    text += '\n';
    AppendToTrace(trace, text);
  }
}

int Replay(FILE* in, const char* trace) {
  std::vector<Node> nodes(kMaxFd);
  SgioEvent event;
  std::vector<unsigned char> payload, incoming;
  while (NextEvent(in, &event, &payload)) {
    if (event.fd < 0 || event.fd >= kMaxFd) continue;
    Node& node = nodes[event.fd];
    switch (event.kind) {
      case kEventOpen:
        node.path.assign(payload.begin(), payload.end());
        node.fd = open(node.path.c_str(), event.flags);
        if (node.fd < 0) {
          perror(node.path.c_str());
          return 1;
        }
        break;
      case kEventClose:
        close(node.fd);
        node.fd = -1;
        break;
      case kEventSgIo:
        Send(event, payload, incoming, node, trace);
        break;
      default:
        break;
    }
  }
  return 0;
}

int Summary(FILE* in) {
  Totals totals;
  SgioEvent event;
  std::vector<unsigned char> payload;
  while (NextEvent(in, &event, &payload)) {
    switch (event.kind) {
      case kEventOpen:
        ++totals.opens;
        break;
      case kEventSgIo:
        ++totals.commands;
        if (event.direction == SG_DXFER_TO_DEV) totals.toDevice += event.dxferLen;
        if (event.direction == SG_DXFER_FROM_DEV) totals.fromDevice += event.dxferLen;
        break;
      case kEventSleep:
        totals.sleepNs += event.value;
        break;
      case kEventHeapPeak:
        totals.heapPeak = event.value;
        break;
      default:
        break;
    }
  }
  printf("commands=%llu to_device=%llu from_device=%llu opens=%llu sleep_ms=%.3f heap_peak=%llu\n",
         totals.commands, totals.toDevice, totals.fromDevice, totals.opens, totals.sleepNs / 1e6,
         totals.heapPeak);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool replay = argc >= 3 && strcmp(argv[1], "replay") == 0 && argc <= 4;
  bool summary = argc == 3 && strcmp(argv[1], "summary") == 0;
  if (!replay && !summary) {
    fprintf(stderr, "usage: %s replay RECORD [TRACE] | summary RECORD\n", argv[0]);
    return 2;
  }
  FILE* in = fopen(argv[2], "rb");
  if (in == nullptr) {
    perror(argv[2]);
    return 1;
  }
  setvbuf(in, nullptr, _IOFBF, kStreamBuffer);
  int status = replay ? Replay(in, argc == 4 ? argv[3] : nullptr) : Summary(in);
  fclose(in);
  return status;
}
