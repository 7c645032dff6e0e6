/* Integer forms of the value manager's number operations, inline for the
 * interpreter's and the standard library's loops.
 *
 * Each gives exactly the words MRVFAQ_Add, MRVFAQ_Sub, MRVFAQ_Mul or
 * MRVFAQ_Comp makes when both values are numbers without a fraction and the
 * result stays in the number range, and returns 0 otherwise, leaving the
 * values untouched for the value manager (which also reports). Not part of
 * the interface of command libraries. */
#ifndef MRVINT_H
#define MRVINT_H

#include <stdint.h>

#include "mrvval.h"

#define MRVINT_MAX 999999999

/* Both values are numbers without a fraction. */
static inline int MRVINT_Plain(const FAQ* a, const FAQ* b) {
  return a->type == TYPE_NUMBER && b->type == TYPE_NUMBER && a->word2 == 0 && b->word2 == 0;
}

/* The integer word of a number as a machine integer. */
static inline int64_t MRVINT_Value(const FAQ* f) {
  const int64_t m = (int64_t)(f->word1 & 0x7FFFFFFFu);
  return (f->word1 & 0x80000000u) != 0 ? -m : m;
}

/* The word MRVFAQ_Number makes of an integer in the number range: sign bit
 * and magnitude (0 has no sign). */
static inline uint32_t MRVINT_Word(int64_t v) {
  return v < 0 ? 0x80000000u | (uint32_t)(-v) : (uint32_t)v;
}

/* a + b (sign 1) or a - b (sign -1) into a; a zero result is a plain 0. */
static inline int MRVINT_Sum(FAQ* a, const FAQ* b, int sign) {
  if (!MRVINT_Plain(a, b)) return 0;
  const int64_t v = MRVINT_Value(a) + sign * MRVINT_Value(b);
  if (v < -MRVINT_MAX || v > MRVINT_MAX) return 0;
  a->word1 = MRVINT_Word(v);
  return 1;
}

/* a * b into a; the product keeps the sign of its factors even when it is 0. */
static inline int MRVINT_Product(FAQ* a, const FAQ* b) {
  if (!MRVINT_Plain(a, b)) return 0;
  const uint64_t m = (uint64_t)(a->word1 & 0x7FFFFFFFu) * (b->word1 & 0x7FFFFFFFu);
  if (m > (uint64_t)MRVINT_MAX) return 0;
  a->word1 = ((a->word1 ^ b->word1) & 0x80000000u) | (uint32_t)m;
  return 1;
}

/* The order of a and b (1, 0, -1) into *out. */
static inline int MRVINT_Compare(const FAQ* a, const FAQ* b, int32_t* out) {
  if (!MRVINT_Plain(a, b)) return 0;
  const int64_t x = MRVINT_Value(a), y = MRVINT_Value(b);
  *out = x > y ? 1 : x == y ? 0 : -1;
  return 1;
}

#endif
