// The few C runtime symbols the compiler may emit calls to even in
// freestanding code (struct copies, zero-initialised arrays), and that the
// kit's fills and copies end in. Fills and copies move eight bytes per
// step (rep stosq / rep movsq), then the last few bytes one at a time, an
// eighth of the steps a byte loop takes.
#include "kit/Uefi.h"

extern "C" {

void *memset(void *Destination, int Value, size_t Count) {
  void *Start = Destination;
  UINT64 Pattern = 0x0101010101010101ULL * (UINT8)Value;
  size_t Words = Count / 8;
  size_t Rest = Count % 8;
  __asm__ volatile("rep stosq" : "+D"(Destination), "+c"(Words) : "a"(Pattern) : "memory");
  __asm__ volatile("rep stosb" : "+D"(Destination), "+c"(Rest) : "a"(Pattern) : "memory");
  return Start;
}

void *memcpy(void *Destination, const void *Source, size_t Count) {
  void *Start = Destination;
  size_t Words = Count / 8;
  size_t Rest = Count % 8;
  __asm__ volatile("rep movsq" : "+D"(Destination), "+S"(Source), "+c"(Words) : : "memory");
  __asm__ volatile("rep movsb" : "+D"(Destination), "+S"(Source), "+c"(Rest) : : "memory");
  return Start;
}

void *memmove(void *Destination, const void *Source, size_t Count) {
  unsigned char *To = (unsigned char *)Destination;
  const unsigned char *From = (const unsigned char *)Source;
  if (To <= From || To >= From + Count) {
    return memcpy(Destination, Source, Count);
  }
  while (Count > 0) {
    Count--;
    To[Count] = From[Count];
  }
  return Destination;
}

int memcmp(const void *First, const void *Second, size_t Count) {
  const unsigned char *A = (const unsigned char *)First;
  const unsigned char *B = (const unsigned char *)Second;
  for (size_t I = 0; I < Count; I++) {
    if (A[I] != B[I]) {
      return (int)A[I] - (int)B[I];
    }
  }
  return 0;
}

// The linker looks for this symbol whenever floating point could be used;
// nothing here uses it.
int _fltused = 0;
}
