// The utility module: small operations shared by the service's modules.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// In-place text operations (used on the device model)
// ---------------------------------------------------------------------------

// Upper-cases the text up to its terminator, in place; returns the text.
char *strToUpper(char *text);

// Replaces every newline byte up to the terminator the text had on entry by
// NUL, in place; the visible text ends at the first of them. Returns the text.
char *strCutNewline(char *text);

// ---------------------------------------------------------------------------
// Shell helpers
// ---------------------------------------------------------------------------


// ---------------------------------------------------------------------------
// JSON field accessors
// ---------------------------------------------------------------------------


// ---------------------------------------------------------------------------
// Condition pair (timed waits of the NXP device module)
// ---------------------------------------------------------------------------

