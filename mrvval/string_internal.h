// Private to the value manager: the text conversions and string reads that
// the string functions and value display share.
#pragma once
#include "mrvval.h"

namespace mrvval {

// Bytes (code page 932) to 16-bit units, at most `max_chars` units and a 0
// unit; a longer text is cut and `*cut` (when given) set. Returns the count.
uint32_t bytes_to_units(const char* text, uint16_t* out, uint32_t max_chars, bool* cut);
// 16-bit units to bytes: at most `max_chars` units and never more than
// `cap` bytes with the NUL; a character is never split. Returns the bytes
// written without the NUL.
uint32_t units_to_bytes(const uint16_t* units, char* out, uint32_t max_chars, uint32_t cap);
// Copies a SAQ's units and terminator (at most 1000 units) into `out`; 0 when
// the SAQ does not name a held block of the string heap (reported unless
// `quiet`, and `out` is then the empty text).
int32_t read_units(SystemContext* ctx, const FAQ* saq, uint16_t* out, bool quiet);

}  // namespace mrvval
