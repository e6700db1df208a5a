#include "SHA256.h"

#include <string.h>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

const uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t RotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

void sha256_init(SHA256_CTX* ctx) {
  ctx->blockLength = 0;
  ctx->bitCount = 0;
  memcpy(ctx->hashState, kInitialHash, sizeof(kInitialHash));
}

namespace {

// One 64-byte block, in plain C.
void PortableBlock(uint32_t* state, const unsigned char* data) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) {
    w[t] = (static_cast<uint32_t>(data[4 * t]) << 24) | (data[4 * t + 1] << 16) |
           (data[4 * t + 2] << 8) | data[4 * t + 3];
  }
  for (int t = 16; t < 64; ++t) {
    uint32_t s0 = RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
    uint32_t s1 = RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }

  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5],
           g = state[6], h = state[7];
  for (int t = 0; t < 64; ++t) {
    uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
    uint32_t choose = (e & f) ^ (~e & g);
    uint32_t t1 = h + sum1 + choose + kRoundConstants[t] + w[t];
    uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
    uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#if defined(__x86_64__)
// Blocks with the SHA extensions of x86 processors (SHA-NI), several times
// faster than the plain code; used when the processor has them.
__attribute__((target("sha,sse4.1"))) void ShaNiBlocks(uint32_t* state, const unsigned char* data,
                                                       size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The instructions keep the state as ABEF and CDGH.
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i state1 =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefSaved = state0, cdghSaved = state1;
    __m128i w[4];
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      __m128i& words = w[group & 3];
      if (group < 4) {
        words = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
      } else {
        __m128i t = _mm_sha256msg1_epu32(w[group & 3], w[(group + 1) & 3]);
        t = _mm_add_epi32(t, _mm_alignr_epi8(w[(group + 3) & 3], w[(group + 2) & 3], 4));
        words = _mm_sha256msg2_epu32(t, w[(group + 3) & 3]);
      }
      __m128i message = _mm_add_epi32(
          words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group)));
      state1 = _mm_sha256rnds2_epu32(state1, state0, message);
      state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(message, 0x0E));
    }
    state0 = _mm_add_epi32(state0, abefSaved);
    state1 = _mm_add_epi32(state1, cdghSaved);
  }
  tmp = _mm_shuffle_epi32(state0, 0x1B);
  state1 = _mm_shuffle_epi32(state1, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(tmp, state1, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(state1, tmp, 8));
}

// Asked of cpuid directly: not every compiler knows "sha" as a
// __builtin_cpu_supports feature name.
bool HasShaNi() {
  static const bool has = [] {
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    bool sse41 = (ecx & bit_SSE4_1) != 0, ssse3 = (ecx & bit_SSSE3) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return sse41 && ssse3 && (ebx & bit_SHA) != 0;
  }();
  return has;
}
#endif

void Blocks(uint32_t* state, const unsigned char* data, size_t blocks) {
#if defined(__x86_64__)
  if (HasShaNi()) {
    ShaNiBlocks(state, data, blocks);
    return;
  }
#endif
  for (; blocks > 0; --blocks, data += 64) PortableBlock(state, data);
}

}  // namespace

void sha256_transform(SHA256_CTX* ctx, unsigned char* data) { Blocks(ctx->hashState, data, 1); }

void sha256_update(SHA256_CTX* ctx, unsigned char* data, unsigned int len) {
  // Whole blocks are digested where they lie; only a partial block is
  // gathered in ctx->block.
  if (len == 0) return;
  if (ctx->blockLength > 0) {
    unsigned int take = 64 - ctx->blockLength < len ? 64 - ctx->blockLength : len;
    memcpy(ctx->block + ctx->blockLength, data, take);
    ctx->blockLength += take;
    data += take;
    len -= take;
    if (ctx->blockLength < 64) return;
    Blocks(ctx->hashState, ctx->block, 1);
    ctx->bitCount += 512;
    ctx->blockLength = 0;
  }
  size_t blocks = len / 64;
  if (blocks > 0) {
    Blocks(ctx->hashState, data, blocks);
    ctx->bitCount += 512ull * blocks;
    data += 64 * blocks;
    len -= static_cast<unsigned int>(64 * blocks);
  }
  memcpy(ctx->block, data, len);
  ctx->blockLength = len;
}

void sha256_final(SHA256_CTX* ctx, unsigned char* digest) {
  uint64_t messageBits = ctx->bitCount + ctx->blockLength * 8ull;
  uint32_t used = ctx->blockLength;
  ctx->block[used++] = 0x80;
  if (used > 56) {  // no room for the length: pad out this block first
    memset(ctx->block + used, 0, 64 - used);
    sha256_transform(ctx, ctx->block);
    used = 0;
  }
  memset(ctx->block + used, 0, 56 - used);
  for (int i = 0; i < 8; ++i) {
    ctx->block[56 + i] = static_cast<unsigned char>(messageBits >> (56 - 8 * i));
  }
  sha256_transform(ctx, ctx->block);

  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<unsigned char>(ctx->hashState[i] >> (24 - 8 * j));
    }
  }
}

int CalSHA256(unsigned char* data, unsigned char* digest, int len) {
  SHA256_CTX ctx;
  sha256_init(&ctx);
  if (len > 0) sha256_update(&ctx, data, static_cast<unsigned int>(len));
  sha256_final(&ctx, digest);
  return 1;
}
