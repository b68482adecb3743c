#include "app/checks/Sha256.h"

namespace {

constexpr UINT32 ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr UINT32 Rotr(UINT32 X, UINT32 N) { return (X >> N) | (X << (32 - N)); }

// One 64-byte block into the state H. Eight rounds a step, each with the
// working variables in the places the previous one left them, so that no
// round moves them; the message schedule is kept as a ring of 16 words.
#define TAMSORK_SHA256_ROUND(A, B, C, D, E, F, G, H, I)                                                   \
  do {                                                                                                     \
    if ((I) >= 16) {                                                                                       \
      const UINT32 X15 = W[((I) + 1) & 15], X2 = W[((I) + 14) & 15];                                       \
      W[(I) & 15] += (Rotr(X15, 7) ^ Rotr(X15, 18) ^ (X15 >> 3)) + W[((I) + 9) & 15] +                       \
                     (Rotr(X2, 17) ^ Rotr(X2, 19) ^ (X2 >> 10));                                           \
    }                                                                                                      \
    const UINT32 T1 = H + (Rotr(E, 6) ^ Rotr(E, 11) ^ Rotr(E, 25)) + ((E & F) ^ (~E & G)) + ROUND_CONSTANTS[I] + \
                      W[(I) & 15];                                                                         \
    D += T1;                                                                                               \
    H = T1 + (Rotr(A, 2) ^ Rotr(A, 13) ^ Rotr(A, 22)) + ((A & B) ^ (A & C) ^ (B & C));                     \
  } while (0)

VOID Block(UINT32 State[8], const UINT8 *Bytes) {
  UINT32 W[16];
  for (UINTN I = 0; I < 16; I++) {
    W[I] = (UINT32)Bytes[4 * I] << 24 | (UINT32)Bytes[4 * I + 1] << 16 | (UINT32)Bytes[4 * I + 2] << 8 |
           (UINT32)Bytes[4 * I + 3];
  }
  UINT32 A = State[0], B = State[1], C = State[2], D = State[3], E = State[4], F = State[5], G = State[6],
         H = State[7];
  for (UINTN I = 0; I < 64; I += 8) {
    TAMSORK_SHA256_ROUND(A, B, C, D, E, F, G, H, I);
    TAMSORK_SHA256_ROUND(H, A, B, C, D, E, F, G, I + 1);
    TAMSORK_SHA256_ROUND(G, H, A, B, C, D, E, F, I + 2);
    TAMSORK_SHA256_ROUND(F, G, H, A, B, C, D, E, I + 3);
    TAMSORK_SHA256_ROUND(E, F, G, H, A, B, C, D, I + 4);
    TAMSORK_SHA256_ROUND(D, E, F, G, H, A, B, C, I + 5);
    TAMSORK_SHA256_ROUND(C, D, E, F, G, H, A, B, I + 6);
    TAMSORK_SHA256_ROUND(B, C, D, E, F, G, H, A, I + 7);
  }
  State[0] += A;
  State[1] += B;
  State[2] += C;
  State[3] += D;
  State[4] += E;
  State[5] += F;
  State[6] += G;
  State[7] += H;
}

#undef TAMSORK_SHA256_ROUND

INTN HexValue(CHAR8 C) {
  return (C >= '0' && C <= '9') ? C - '0' : (C >= 'a' && C <= 'f') ? C - 'a' + 10 : (C >= 'A' && C <= 'F') ? C - 'A' + 10 : -1;
}

CHAR16 Lower(CHAR16 C) { return (C >= u'A' && C <= u'Z') ? (CHAR16)(C - u'A' + u'a') : C; }

// Whether the Length characters at Line are Name, in any ASCII case.
bool SameName(const CHAR8 *Line, UINTN Length, const CHAR16 *Name) {
  UINTN I = 0;
  while (I < Length && Name[I] != 0 && Lower((CHAR16)(UINT8)Line[I]) == Lower(Name[I])) {
    I++;
  }
  return I == Length && Name[I] == 0;
}

}  // namespace

VOID Sha256(const VOID *Data, UINTN Size, UINT8 Digest[SHA256_DIGEST_SIZE]) {
  UINT32 H[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const UINT8 *Bytes = (const UINT8 *)Data;
  UINTN Done = 0;
  for (; Size - Done >= 64; Done += 64) {
    Block(H, Bytes + Done);
  }
  // The rest, the 0x80 byte and the length in bits fill one block or two.
  UINT8 Tail[128];
  ZeroMem(Tail, sizeof(Tail));
  const UINTN Left = Size - Done;
  CopyMem(Tail, Bytes + Done, Left);
  Tail[Left] = 0x80;
  const UINTN TailSize = Left < 56 ? 64 : 128;
  const UINT64 Bits = (UINT64)Size * 8;
  for (UINTN I = 0; I < 8; I++) {
    Tail[TailSize - 1 - I] = (UINT8)(Bits >> (8 * I));
  }
  for (UINTN At = 0; At < TailSize; At += 64) {
    Block(H, Tail + At);
  }
  for (UINTN I = 0; I < SHA256_DIGEST_SIZE; I++) {
    Digest[I] = (UINT8)(H[I / 4] >> (24 - 8 * (I % 4)));
  }
}

BOOLEAN ChecksumListsDigest(const CHAR8 *Text, UINTN Size, const CHAR16 *Name,
                            const UINT8 Digest[SHA256_DIGEST_SIZE]) {
  BOOLEAN Found = FALSE;
  for (UINTN Start = 0; Start < Size;) {
    UINTN End = Start;
    while (End < Size && Text[End] != '\n') {
      End++;
    }
    const UINTN Next = End + 1;
    if (End > Start && Text[End - 1] == '\r') {
      End--;
    }
    // "<64 hex digits> <' ' or '*'><name>"; every line for Name must give
    // this digest, and one must be there.
    const CHAR8 *Line = Text + Start;
    const UINTN Length = End - Start;
    if (Length > 66 && Line[64] == ' ' && (Line[65] == ' ' || Line[65] == '*') &&
        SameName(Line + 66, Length - 66, Name)) {
      for (UINTN I = 0; I < SHA256_DIGEST_SIZE; I++) {
        const INTN High = HexValue(Line[2 * I]);
        const INTN Low = HexValue(Line[2 * I + 1]);
        if (High < 0 || Low < 0 || (UINT8)(High << 4 | Low) != Digest[I]) {
          return FALSE;
        }
      }
      Found = TRUE;
    }
    Start = Next;
  }
  return Found;
}
