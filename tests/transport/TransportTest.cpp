#include "TransportTest.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

uint32_t SgCall::Lba() const {
  if (Ata()) return cdb[8] | (cdb[10] << 8) | (cdb[12] << 16) | ((cdb[13] & 0x0Fu) << 24);
  return (uint32_t(cdb[2]) << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
}

Bytes DescriptorSense(unsigned char error, unsigned char count, unsigned char device, unsigned char status) {
  Bytes s(32, 0);
  // RECOVERED ERROR, ATA PASS THROUGH INFORMATION AVAILABLE, ATA Status Return descriptor.
  s[0] = 0x72, s[1] = 0x01, s[3] = 0x1D, s[7] = 0x0E, s[8] = 0x09, s[9] = 0x0C;
  s[11] = error, s[13] = count, s[20] = device, s[21] = status;
  return s;
}

Bytes FixedSense(unsigned char error, unsigned char count, unsigned char device, unsigned char status,
                 unsigned char responseCode, unsigned char key) {
  Bytes s(32, 0);
  s[0] = responseCode, s[2] = key, s[3] = error, s[4] = status, s[5] = device, s[6] = count;
  s[7] = 0x0A, s[13] = 0x1D;
  return s;
}

int FakeDisk::Answer(void* sgIoHdr) {
  sg_io_hdr_t* h = static_cast<sg_io_hdr_t*>(sgIoHdr);
  SgCall c;
  c.interfaceId = h->interface_id, c.direction = h->dxfer_direction, c.cmdLen = h->cmd_len;
  c.mxSbLen = h->mx_sb_len, c.iovecCount = h->iovec_count, c.flags = h->flags;
  c.dxferLen = h->dxfer_len, c.timeout = h->timeout;
  memcpy(c.cdb, h->cmdp, std::min<size_t>(h->cmd_len, sizeof c.cdb));
  auto* data = static_cast<unsigned char*>(h->dxferp);
  if (h->dxfer_direction == SG_DXFER_TO_DEV && data != nullptr) c.out.assign(data, data + h->dxfer_len);
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
    a.status = 0x02, a.driverStatus = 0x08;  // CHECK CONDITION, as CK_COND asks
    a.sense = DescriptorSense(0, completionCode, 0xE0, ataStatus);
  }
  if (script) script(c, a);

  size_t inBytes = std::min<size_t>(a.in.size(), h->dxfer_len);
  if (h->dxfer_direction == SG_DXFER_FROM_DEV && data != nullptr && a.ret >= 0 && inBytes > 0)
    memcpy(data, a.in.data(), inBytes);  // as the kernel
  size_t senseBytes = std::min<size_t>(a.sense.size(), h->mx_sb_len);
  if (h->sbp != nullptr && senseBytes > 0) memcpy(h->sbp, a.sense.data(), senseBytes);
  h->sb_len_wr = static_cast<unsigned char>(senseBytes);
  h->status = a.status, h->masked_status = (a.status >> 1) & 0x7F;
  h->host_status = a.hostStatus, h->driver_status = a.driverStatus;
  h->resid = a.resid;
  if (a.ret < 0) errno = a.err;
  return a.ret;
}

std::vector<SgCall> FakeDisk::SectorWrites() const {
  std::vector<SgCall> r;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(r), [](const SgCall& c) { return c.IsSectorWrite(); });
  return r;
}

FakeDisk& Disk() {
  static FakeDisk disk;
  return disk;
}

std::string MakeNode() {
  char name[] = "/tmp/qelXXXXXX";
  int fd = mkstemp(name);
  return fd < 0 ? "" : (close(fd), name);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == SG_IO) return Disk().Answer(argument);
  using RealIoctl = int (*)(int, unsigned long, ...);
  static RealIoctl real = reinterpret_cast<RealIoctl>(dlsym(RTLD_NEXT, "ioctl"));
  return real(fd, request, argument);
}

void OpenCardTest::SetUp() {
  Disk() = FakeDisk();
  node_ = MakeNode();
  ASSERT_TRUE(card.OpenDevice(&node_[0]));
  Disk().calls.clear();
}

void OpenCardTest::Reopen() {
  if (card.hDevice >= 0) close(card.hDevice);  // CloseDevice would pause 100 ms
  card.hDevice = -1;
  ASSERT_TRUE(card.OpenDevice(&node_[0]));
  Disk().calls.clear();
}

void OpenCardTest::TearDown() {
  if (card.hDevice >= 0) close(card.hDevice);
  card.hDevice = -1;
  unlink(node_.c_str());
}

Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::istringstream in(text);
  for (std::string word; in >> word;) bytes.push_back(static_cast<unsigned char>(strtoul(word.c_str(), nullptr, 16)));
  return bytes;
}

std::string ReadTrace(const SSDCMD& device) {
  std::ostringstream text;
  text << std::ifstream(device.LogName, std::ios::binary).rdbuf();
  return text.str();
}

// The trace files land in the working directory: give the run its own.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char dir[] = "/tmp/qel-transport-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 1;
  int result = RUN_ALL_TESTS();
  if (DIR* d = opendir(".")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') unlink(e->d_name);
    closedir(d);
  }
  if (chdir("/") == 0) rmdir(dir);
  return result;
}
