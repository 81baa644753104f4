// Small helpers the test handlers share for the gateway's files: a hex dump
// for radio frames, the sysfs LED brightness write and the first line of an
// information file such as the build or a radio firmware version.
#pragma once

#include <cstdint>

// Hex dump of `count` bytes to standard output: a header line with the label
// and the count, then the bytes as "[xx]", a separator line every 16 bytes.
void viewBuf(const char *label, const uint8_t *bytes, uint16_t count);

// Writes the brightness value (0, or 1 for any non-zero value) as one digit
// to the sysfs file. Returns 0 on success, 1 when no path is given, and the
// (non-zero) error number when the file cannot be opened.
int operateLeds(const char *path, uint8_t value);

// Reads the first line of a readable file into the buffer: at most size - 1
// characters, the newline kept when it fits. Returns -1 when the file is not
// readable (buffer untouched), otherwise 0, also when the open then fails or
// the file is empty: the buffer is then left as it was, so callers start
// with a buffer whose content they can parse.
int getInfoFromFile(const char *path, char *buffer, uint16_t size);
