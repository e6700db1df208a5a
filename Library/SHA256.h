// SHA-256 (FIPS 180-4) and the section digests of the ISP image's 1024-byte
// CSS header.
#ifndef QEL_LIBRARY_SHA256_H_
#define QEL_LIBRARY_SHA256_H_

#include <stdint.h>

struct SHA256_CTX {
  unsigned char block[64];
  uint32_t blockLength;
  uint64_t bitCount;
  uint32_t hashState[8];
};

void sha256_init(SHA256_CTX* ctx);
void sha256_update(SHA256_CTX* ctx, unsigned char* data, unsigned int len);
void sha256_final(SHA256_CTX* ctx, unsigned char* digest);
void sha256_transform(SHA256_CTX* ctx, unsigned char* data);

// One-shot digest; always returns 1.
int CalSHA256(unsigned char* data, unsigned char* digest, int len);

// Recomputes the digests of sections 4 and 5 into the image file's header.
// 0 on success; 1, with a one-line message and the file unchanged, when it
// cannot be opened or read, is shorter than its 1024-byte header, or a listed
// section reaches past its end.
int CalSHA256(char* path);

// Checks the digests of sections 4 and 5 in the image file's header against
// the sections themselves. 0 when every listed digest matches; 1, after one
// line naming the file, when one does not or the file cannot be read.
int CheckSHA256(const char* path);

// Finds the section-table entry of the wanted type in the 368-byte window at
// tableOffset of buf. 0 when found, 1 when not.
int GetCSSHeaderTypeInfo(unsigned char* buf, int tableOffset, unsigned long* word2,
                         unsigned long* word1, unsigned long type, unsigned long* entryOffset);

#endif  // QEL_LIBRARY_SHA256_H_
