// In-place text operations of the utility module (used on the device model).
#pragma once

// Upper-cases the text up to its terminator, in place; returns the text.
char *strToUpper(char *text);

// Replaces every newline byte up to the terminator the text had on entry by
// NUL, in place; the visible text ends at the first of them. Returns the text.
char *strCutNewline(char *text);
