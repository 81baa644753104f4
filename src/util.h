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

// Room the destination of shellFirstLine must have: a line of at most 254
// characters and its terminator.
inline constexpr size_t kShellLineRoom = 255;

// Runs the command through the shell and copies the first line of its
// output, one trailing newline removed, into the destination (room for
// kShellLineRoom bytes). Waits for the command to end; output after the
// first line is discarded. Returns 0 when a line was copied, -1 when the
// command cannot be started (destination set to the empty string), -2 when
// it printed nothing (destination untouched).
int shellFirstLine(const char *command, char *dest);

// Runs the command through the shell (system) and waits for it; a command
// that ends in "&" returns once started. Returns system's status: 0 when the
// command exited with status 0.
int shellRun(const char *command);

// ---------------------------------------------------------------------------
// JSON field accessors
// ---------------------------------------------------------------------------
// Typed reads of one member of a JSON object parsed by Jansson. The object
// stays the caller's: nothing is referenced, copied or released. Each getter
// fails when the object is null or not an object, the member is missing or
// has another type, or the value is out of the output's range; on failure
// the output is left as it was, so a default set beforehand survives.

#include <jansson.h>

// Integer members: 0 on success, -1 on failure.
int json_obj_get_integer(const json_t *obj, const char *key, int64_t *out);
int json_obj_get_int64(const json_t *obj, const char *key, int64_t *out);
int json_obj_get_uint64(const json_t *obj, const char *key, uint64_t *out); // 0 to INT64_MAX
int json_obj_get_int(const json_t *obj, const char *key, int32_t *out);
int json_obj_get_uint32(const json_t *obj, const char *key, uint32_t *out);
int json_obj_get_uint16(const json_t *obj, const char *key, uint16_t *out);
int json_obj_get_uint8(const json_t *obj, const char *key, uint8_t *out);

// true or the integer 1 gives 1, false or the integer 0 gives 0.
int json_obj_get_bool(const json_t *obj, const char *key, uint8_t *out);

// An integer or a real member.
int json_obj_get_double(const json_t *obj, const char *key, double *out);

// The member's text, owned by the parsed document (valid until it is
// released), or null.
const char *json_obj_get_string(const json_t *obj, const char *key);
// A heap copy of the member's text for the caller to free(), or null.
char *json_obj_dup_string(const json_t *obj, const char *key);
// Copies the member's text with its NUL into buf (size bytes). Returns its
// length, or -1 when the member is missing or not a string, or when the text
// did not fit (buf then holds it cut to size - 1 characters).
int json_obj_copy_string(const json_t *obj, const char *key, char *buf, size_t size);


// ---------------------------------------------------------------------------
// Condition pair (timed waits of the NXP device module)
// ---------------------------------------------------------------------------

#include <pthread.h>

// A condition variable, the mutex that guards it and the bookkeeping that
// tells a real signal from a spurious wake-up. A signal wakes at most one
// waiter; a signal sent while nobody waits is lost.
struct CondPair {
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    int waiters; // threads inside condTimedWait
    int wakeups; // signals sent to them and not yet taken
};

// Initialises the pair; the deadlines run on the monotonic clock, so a jump
// of the wall clock (the gateway's first time sync) neither ends a wait early
// nor stretches it. Returns 0, or the error number of the failed init.
int condInit(CondPair *pair);

// Waits until a signal comes or the given number of seconds has passed.
// Returns 0 when signalled, ETIMEDOUT when the deadline passed (spurious
// wake-ups go back to waiting), or another pthread error number.
int condTimedWait(CondPair *pair, int seconds);

// Wakes one waiter, if any; returns 0.
int condSignal(CondPair *pair);

// Number of threads waiting on the pair right now.
int condWaiting(CondPair *pair);

// Test use only: every deadline is divided by `divisor` (0 counts as 1), so
// tests of the long time-outs run in milliseconds. Default 1.
void condSetDeadlineDivisor(unsigned divisor);
