/* The compiled code: token bytes, operator codes and the command-call record.
 *
 * The compiler writes these bytes, the interpreter and the compiled-file tools
 * read them. Compiled code is a plain byte string; every multi-byte number in
 * it is little-endian and unaligned, so read and write them byte by byte (or
 * with memcpy on a little-endian host), never through a cast pointer.
 *
 * Shape of the code:
 * - A statement list is a run of statements, each optionally preceded by one
 *   TOK_LINE marker, ended by TOK_END (a marker may stand right before that
 *   TOK_END). A whole scenario is one statement list.
 * - A statement is an expression: an operand, then any number of pairs
 *   (operator code, operand). After OP_INC or OP_DEC no operand follows and the
 *   expression ends. An expression ends at the first byte below 0x80 after an
 *   operand.
 * - An operand is an optional TOK_NOT, an optional TOK_NEG, then a constant,
 *   a variable, TOK_PAREN expression TOK_END, or a command-call record.
 * - An argument of a command call is an expression, or TOK_BYREF and a
 *   variable (passed by reference), or nothing (omitted); TOK_END ends it.
 * - A variable is TOK_SYSVAR or TOK_COMVAR followed by an operand (its
 *   number), or TOK_LOCALVAR followed by one byte ('@' or 'A'..'Z'); any of
 *   them may be followed by TOK_INDEX expression TOK_END.
 * - A minus sign in the source is TOK_NEG before a positive constant; the
 *   constant forms carry negative values only for hexadecimal or binary
 *   constants that set the sign bit of the number. */
#ifndef MRVCODE_H
#define MRVCODE_H

#include "mrvdefs.h"

/* ---- Token bytes ----------------------------------------------------------- */
enum {
  TOK_END = 0x00,      /* ends a statement list, an argument, a (...) or a [...];
                          an argument of TOK_END alone is an omitted argument */
  TOK_ZERO = 0x01,     /* the number 0 */
  TOK_INT8 = 0x02,     /* + 1 signed byte: -127..127 */
  TOK_INT16 = 0x03,    /* + 2 bytes signed: -32767..32767 outside the 8-bit range */
  TOK_INT32 = 0x04,    /* + 4 bytes signed: any other integer */
  TOK_DECIMAL = 0x05,  /* + integer word, fraction word (4 bytes each), exactly as a
                          number value holds them (sign bit 31 and magnitude;
                          fraction in units of 10^-9); the fraction is not 0 */
  TOK_STRING = 0x08,   /* + 16-bit count n, n 16-bit units, a 16-bit 0; a unit is a
                          single-byte character (0x00XX) or a double-byte
                          character (lead * 256 + trail); n <= MRVCODE_MAX_STRING */
  TOK_LINE = 0x0A,     /* + 16-bit line number (low 16 bits); only between statements */
  TOK_SYSVAR = 0x0C,   /* + operand (the number): system variable #n */
  TOK_COMVAR = 0x0D,   /* + operand (the number): common variable $n */
  TOK_LOCALVAR = 0x0E, /* + one byte '@' or 'A'..'Z': local variable */
  TOK_CALL = 0x0F,     /* a command-call record, see CALL_* below */
  TOK_PAREN = 0x28,    /* + expression + TOK_END: parenthesised expression */
  TOK_INDEX = 0x5B,    /* + expression + TOK_END: subscript, only right after a variable */
  TOK_BYREF = 0x91,    /* + variable: a whole argument, passed by reference */
  TOK_NOT = 0x92,      /* logical-not prefix of an operand */
  TOK_NEG = 0x94       /* minus prefix of an operand (after TOK_NOT when both stand) */
};

/* ---- Operator codes (between two operands; 0x80 and above) ------------------ */
enum {
  OP_ASSIGN = 0x81,    /* =  */
  OP_BACKSLASH = 0x91, /* \  */
  OP_NOT = 0x92,       /* !  */
  OP_POWER = 0xA1,     /* ^  */
  OP_MUL = 0xA2,       /* *  */
  OP_DIV = 0xA3,       /* /  */
  OP_MOD = 0xA4,       /* %  */
  OP_ADD = 0xA5,       /* +  */
  OP_SUB = 0xA6,       /* -  */
  OP_QUESTION = 0xA7,  /* ?  */
  OP_EQ = 0xB1,        /* == */
  OP_NE = 0xB2,        /* != */
  OP_GT = 0xB3,        /* >  */
  OP_LT = 0xB4,        /* <  */
  OP_GE = 0xB5,        /* >= */
  OP_LE = 0xB6,        /* <= */
  OP_LAND = 0xB7,      /* && */
  OP_LOR = 0xB8,       /* || */
  OP_AND = 0xC1,       /* &  */
  OP_OR = 0xC2,        /* |  */
  OP_XOR = 0xC3,       /* ~  */
  OP_INC = 0xD1,       /* ++ (postfix; ends the expression) */
  OP_DEC = 0xD2        /* -- (postfix; ends the expression) */
};

/* ---- Command-call record ------------------------------------------------------
 * Byte offsets inside the record. Every field is a signed 32-bit number; the
 * offsets it holds count from the record's first byte (the TOK_CALL).
 * After the 29-byte head follow, in this order: the library name (1 to 32
 * characters '0'-'9', 'A'-'Z', then a 0 byte; "STANDARD" when the source names
 * none), the command name (the same form), the argument code (a single TOK_END
 * with no arguments; otherwise per argument its expression, or nothing when it
 * is empty, followed by TOK_END), the first block and the else block (each a
 * statement list). Readers use the stored offsets. */
enum {
  CALL_TOKEN = 0,     /* TOK_CALL */
  CALL_LIBRARY = 1,   /* offset of the library name */
  CALL_COMMAND = 5,   /* offset of the command name */
  CALL_ARGS = 9,      /* offset of the argument code */
  CALL_ARGCOUNT = 13, /* number of arguments, 0..MRVCODE_MAX_ARGS */
  CALL_BLOCK = 17,    /* offset of the first block, 0 if none */
  CALL_ELSE = 21,     /* offset of the else block, 0 if none (never without a block) */
  CALL_LENGTH = 25,   /* offset of the first byte after the record */
  CALL_HEAD = 29      /* size of the head; the library name starts here */
};

/* ---- Limits ---------------------------------------------------------------- */
enum {
  MRVCODE_MAX_ARGS = 26,   /* arguments of one command call */
  MRVCODE_MAX_NAME = 32,   /* characters of a library or command name */
  MRVCODE_MAX_STRING = 999 /* 16-bit units of a string constant */
};

#define MRVCODE_DEFAULT_LIBRARY "STANDARD"

#endif
