// Helpers for the core's 8-bit, zero-terminated texts: bounded copying and
// formatting into fixed buffers, trimming, number parsing and comma-separated
// fields. Blanks are space, tab, carriage return and line feed.
#pragma once

#include <cstdint>

#include "core/printf_format.h"

#include <string>

// Appends text to the text in buffer, cutting it so that the whole stays at
// most capacity - 1 characters plus the terminator. 1 on success (also when
// nothing fitted); 0 when buffer or text is null, capacity is 0 or less, or
// buffer holds no terminator within capacity (it is then left alone).
int ZR_strAppend(const char* text, int capacity, char* buffer);

// A copy of text from malloc (free it with free()), or null when text is null
// or memory runs out.
char* ZR_strDup(const char* text);

// Zeroes buffer[0, capacity) and formats into it at most capacity - 1
// characters, always terminated. The formatter's count: the length of the whole
// formatted text, which is capacity or more when it was cut, or a negative
// value on a format error. -1 without writing when buffer or format is null or
// capacity is 0 or less.
int ZR_format(char* buffer, int capacity, const char* format, ...) ZR_PRINTF_FORMAT(3, 4);

// The formatted text as a string, whatever its length ("" on a format error).
// Failure texts are printf templates built with it, so that a host can
// translate the finished text with its values in place.
std::string ZR_formatString(const char* format, ...) ZR_PRINTF_FORMAT(1, 2);

// Zeroes buffer[0, capacity) and copies at most min(capacity - 1, length)
// characters of source, stopping at its terminator; a length of 0 or less means
// all of source. The number of characters copied; 0 without writing when buffer
// is null or capacity is 0 or less (a null source leaves the buffer empty).
int ZR_strCopy(int capacity, const char* source, char* buffer, int length);

// Moves the text after its leading blanks to the front, in place. Accepts null.
void ZR_trimLeft(char* text);

// Overwrites trailing blanks with terminators, in place. Accepts null.
void ZR_trimRight(char* text);

// Skips leading blanks, takes one optional '-' or '+', then decimal digits up
// to the first other character. 0 for null text or no digits. Values beyond
// 32 bits wrap around (modulo 2^32) rather than being checked.
int32_t ZR_parseInt(const char* text);

inline constexpr int ZR_SPLIT_MAX_FIELDS = 20;

// Splits text[0, length) (a length of 0 or less: up to its terminator; the
// scan always stops at a terminator) at commas into at most
// ZR_SPLIT_MAX_FIELDS fields, each trimmed of blanks at both ends. Field i is
// starts[i] (pointing into text) and lengths[i]; both arrays must hold
// ZR_SPLIT_MAX_FIELDS entries. The text is not changed. The number of fields;
// 0 for a null argument, an empty text or a text with more than
// ZR_SPLIT_MAX_FIELDS - 1 commas. A text without a comma gives one field.
int ZR_splitFields(const char** starts, int* lengths, const char* text, int length);
