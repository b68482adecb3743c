// Port I/O with the processor's in and out instructions: one 8-bit
// transfer each, in program order.
#include "kit/Library.h"

UINT8 IoRead8(UINTN Port) {
  UINT8 Value;
  __asm__ volatile("inb %w1, %b0" : "=a"(Value) : "Nd"((UINT16)Port) : "memory");
  return Value;
}

UINT8 IoWrite8(UINTN Port, UINT8 Value) {
  __asm__ volatile("outb %b0, %w1" : : "a"(Value), "Nd"((UINT16)Port) : "memory");
  return Value;
}
