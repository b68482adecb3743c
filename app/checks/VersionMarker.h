// The version marker inside a BIOS image: the anchor "$BVDT", then the
// first 7-byte version field "$.<letter><major>.<minor minor>" that starts
// after the anchor and lies wholly inside the data.
//
// A pure function over a byte buffer, usable by host tools, benchmarks and
// fuzzers as well as by the application. It never reads outside
// [Data, Data + Size), whatever the bytes.
#pragma once

#include "kit/Uefi.h"

constexpr UINTN VERSION_ANCHOR_SIZE = 5;  // "$BVDT"
constexpr UINTN VERSION_FIELD_SIZE = 7;   // "$.a1.05"

typedef struct {
  UINTN AnchorOffset;
  UINTN FieldOffset;
  UINTN Major;
  UINTN Minor;
} VERSION_MARKER;

// TRUE when a marker is found; Marker then holds its offsets and numbers.
BOOLEAN FindVersionMarker(const UINT8 *Data, UINTN Size, VERSION_MARKER *Marker);

// First offset at or after From, and below Limit, holding Byte; Limit when
// there is none. Scans a machine word at a time.
UINTN FindByte(const UINT8 *Data, UINTN From, UINTN Limit, UINT8 Byte);
