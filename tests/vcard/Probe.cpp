// vcard_probe [--setenv MAP] NODE: what a program sees of NODE under the
// preload library. Prints "stat blk|ENOENT", "open ok|ENOENT|...", and for an
// open node "fstat blk" and "vendor XXXXXXXX" from an SG_IO INQUIRY.
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int arg = 1;
  if (argc > 3 && strcmp(argv[1], "--setenv") == 0) {
    setenv("QEL_VCARD", argv[2], 1);
    arg = 3;
  }
  if (arg >= argc) return 2;
  const char* node = argv[arg];
  struct stat st;
  if (stat(node, &st) == 0) printf("stat %s\n", S_ISBLK(st.st_mode) ? "blk" : "other");
  else printf("stat %s\n", errno == ENOENT ? "ENOENT" : strerror(errno));
  int fd = open(node, O_RDWR);
  if (fd < 0) {
    printf("open %s\n", errno == ENOENT ? "ENOENT" : strerror(errno));
    return 3;
  }
  printf("open ok\n");
  if (fstat(fd, &st) == 0) printf("fstat %s\n", S_ISBLK(st.st_mode) ? "blk" : "other");
  unsigned char cdb[6] = {0x12, 0, 0, 0, 36, 0}, data[36] = {0}, sense[32];
  sg_io_hdr_t h;
  memset(&h, 0, sizeof(h));
  h.interface_id = 'S';
  h.dxfer_direction = SG_DXFER_FROM_DEV;
  h.cmd_len = sizeof(cdb);
  h.cmdp = cdb;
  h.dxfer_len = sizeof(data);
  h.dxferp = data;
  h.mx_sb_len = sizeof(sense);
  h.sbp = sense;
  if (ioctl(fd, SG_IO, &h) != 0) {
    printf("sg_io %s\n", strerror(errno));
    return 4;
  }
  printf("vendor %.8s\n", reinterpret_cast<char*>(data + 8));
  close(fd);
  return 0;
}
