// The two calls the NXP device module takes from the gateway's platform
// library (libtovak). The gateway links the vendor's library; builds without
// it link our small stand-in of the same calls (tovak.cpp), so either can be
// chosen at link time without touching the callers.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Platform logger: `func` is the caller's name, `level` and `subsystem` the
// platform's routing values, then a printf format and its arguments.
void log_base_subsystem(const char *func, int level, int subsystem, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// The integer member `key` of a device report handed over by the radio
// service (the report is a JSON object). 0 when the report, the member or
// an integer value is missing.
int json_get_int(void *report, const char *key);

#ifdef __cplusplus
}
#endif
