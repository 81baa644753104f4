// Text operations: the in-place edits made on the device model, and the hex
// text of bytes that the log shows.
#pragma once

#include <cstddef>
#include <cstdint>

// Upper-cases the text up to its terminator, in place; returns the text.
char *strToUpper(char *text);

// Replaces every newline byte up to the terminator the text had on entry by
// NUL, in place; the visible text ends at the first of them. Returns the text.
char *strCutNewline(char *text);

// The room one byte takes in hexItems' text: "0x%02x ".
inline constexpr size_t kHexItemLen = 5;

// Writes the bytes as "0x%02x " items into the text, as many whole items as
// fit with the terminator; the rest are left out. The text (size at least 1)
// is always terminated. Returns the text.
char *hexItems(char *text, size_t size, const uint8_t *bytes, size_t count);
