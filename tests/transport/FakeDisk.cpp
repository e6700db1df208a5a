#include "FakeDisk.h"

#include <dlfcn.h>
#include <errno.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

uint32_t SgCall::Lba() const {
  if (Ata()) return cdb[8] | (cdb[10] << 8) | (cdb[12] << 16) | ((cdb[13] & 0x0Fu) << 24);
  return (uint32_t(cdb[2]) << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
}

int SgCall::Sectors() const { return Ata() ? cdb[6] : (cdb[7] << 8) | cdb[8]; }

std::vector<unsigned char> DescriptorSense(unsigned char error, unsigned char count,
                                           unsigned char device, unsigned char status) {
  std::vector<unsigned char> s(32, 0);
  s[0] = 0x72;
  s[1] = 0x01;  // RECOVERED ERROR
  s[3] = 0x1D;  // ATA PASS THROUGH INFORMATION AVAILABLE
  s[7] = 0x0E;
  s[8] = 0x09;
  s[9] = 0x0C;
  s[11] = error;
  s[13] = count;
  s[20] = device;
  s[21] = status;
  return s;
}

std::vector<unsigned char> FixedSense(unsigned char error, unsigned char count,
                                      unsigned char device, unsigned char status,
                                      unsigned char responseCode, unsigned char key) {
  std::vector<unsigned char> s(32, 0);
  s[0] = responseCode;
  s[2] = key;
  s[3] = error;
  s[4] = status;
  s[5] = device;
  s[6] = count;
  s[7] = 0x0A;
  s[12] = 0x00;
  s[13] = 0x1D;
  return s;
}

void FakeDisk::Reset() { *this = FakeDisk(); }

int FakeDisk::Answer(int fd, void* sgIoHdr) {
  sg_io_hdr_t* h = static_cast<sg_io_hdr_t*>(sgIoHdr);
  SgCall c;
  c.fd = fd;
  c.interfaceId = h->interface_id;
  c.direction = h->dxfer_direction;
  c.cmdLen = h->cmd_len;
  c.mxSbLen = h->mx_sb_len;
  c.iovecCount = h->iovec_count;
  c.flags = h->flags;
  c.dxferLen = h->dxfer_len;
  c.timeout = h->timeout;
  c.dataPointerSet = h->dxferp != nullptr;
  memcpy(c.cdb, h->cmdp, std::min<size_t>(h->cmd_len, sizeof c.cdb));
  if (h->dxfer_direction == SG_DXFER_TO_DEV && h->dxferp != nullptr) {
    const unsigned char* p = static_cast<const unsigned char*>(h->dxferp);
    c.out.assign(p, p + h->dxfer_len);
  }
  calls.push_back(c);

  SgAnswer a;
  if (!c.Ata() && c.cdb[0] == 0x12) {
    a.in.assign(56, 0);
    std::string v = vendor;
    v.resize(8, ' ');
    memcpy(a.in.data() + 8, v.data(), 8);
  } else if (c.IsSectorRead()) {
    a.in.assign(h->dxfer_len, 0);
    if (c.Lba() == 0x946B && a.in.size() >= 46 + identity.size())
      memcpy(a.in.data() + 46, identity.data(), identity.size());
  }
  if (c.Ata()) {
    a.status = 0x02;  // CHECK CONDITION, as CK_COND asks
    a.driverStatus = 0x08;
    a.sense = DescriptorSense(0, completionCode, 0xE0, ataStatus);
  }
  if (script) script(calls.size() - 1, c, a);

  if (h->dxfer_direction == SG_DXFER_FROM_DEV && h->dxferp != nullptr && !a.in.empty())
    memcpy(h->dxferp, a.in.data(), std::min<size_t>(a.in.size(), h->dxfer_len));
  size_t senseBytes = std::min<size_t>(a.sense.size(), h->mx_sb_len);
  if (h->sbp != nullptr && senseBytes > 0) memcpy(h->sbp, a.sense.data(), senseBytes);
  h->sb_len_wr = static_cast<unsigned char>(senseBytes);
  h->status = a.status;
  h->masked_status = (a.status >> 1) & 0x7F;
  h->host_status = a.hostStatus;
  h->driver_status = a.driverStatus;
  if (a.ret < 0) errno = a.err;
  return a.ret;
}

std::vector<SgCall> FakeDisk::SectorReads() const {
  std::vector<SgCall> r;
  for (const SgCall& c : calls)
    if (c.IsSectorRead()) r.push_back(c);
  return r;
}

std::vector<SgCall> FakeDisk::SectorWrites() const {
  std::vector<SgCall> r;
  for (const SgCall& c : calls)
    if (c.IsSectorWrite()) r.push_back(c);
  return r;
}

FakeDisk& Disk() {
  static FakeDisk disk;
  return disk;
}

std::string MakeNode() {
  char name[] = "/tmp/qelXXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return "";
  close(fd);
  return name;
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == SG_IO) return Disk().Answer(fd, argument);
  using RealIoctl = int (*)(int, unsigned long, ...);
  static RealIoctl real = reinterpret_cast<RealIoctl>(dlsym(RTLD_NEXT, "ioctl"));
  return real(fd, request, argument);
}
