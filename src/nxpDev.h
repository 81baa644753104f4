// The NXP device module: the device database kept by the gateway's NXP radio
// service, and the lock and meter commands that drive the radio through
// nxp_ucmd.sh and wait for the devices' reports.
//
// The test service does not route any request to this module (its codes
// start at 0x1200); a caller of nxpDevCmdHandler and a thread that delivers
// the devices' reports to the cmd_result_* callbacks are expected to come
// with the radio service.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Device database
// ---------------------------------------------------------------------------

inline constexpr char kDevDbPath[] = "/etc/tovak/local_data.db";
inline constexpr size_t kDevSlotCount = 64;
inline constexpr size_t kDevSlotSize = 256;
inline constexpr size_t kDevSlotKept = 164;   // bytes of a slot carried into memory
inline constexpr size_t kDevMacTextSize = 17; // 16 hex digits and the NUL

// Offsets within a slot.
inline constexpr size_t kDevValidOff = 0;
inline constexpr size_t kDevConnectedOff = 3;
inline constexpr size_t kDevSecondValueOff = 6; // 16 bits, little-endian
inline constexpr size_t kDevFirstValueOff = 8;  // 16 bits, little-endian
inline constexpr size_t kDevMacOff = 12;
inline constexpr size_t kDevMacLen = 8;

// One device as loaded from its slot.
struct DevRecord {
    std::array<uint8_t, kDevSlotKept> slot; // the slot's first bytes, unchanged
    std::array<char, kDevMacTextSize> mac;  // MAC text, lower-case hex
};
static_assert(sizeof(DevRecord) == kDevSlotKept + kDevMacTextSize);

// Refreshes the device table from the database file. 0 when all slots were
// read, -1 when the file cannot be opened or a slot cannot be read in full
// (the slots before it are refreshed, it and the rest keep what they had).
int load_dev_data();
// The same from an open database file; read errors are logged under func.
int loadDevSlots(const char *func, int fd);

// Looks the MAC text up. 1 when its first record is valid and connected,
// with that record's two values; else 0 with both values 0.
int checkConnected(const char *mac, uint16_t *first, uint16_t *second);

// Writes the MAC text of the 8 MAC bytes of a slot (bytes 4 to 7 first, then
// 0 to 3, as lower-case hex) into dst; returns snprintf's result.
int formatDevMac(const uint8_t *mac, char *dst, size_t size);

// ---------------------------------------------------------------------------
// Device commands
// ---------------------------------------------------------------------------

// Request layout.
inline constexpr size_t kNxpTypeOff = 0;      // 16 bits, little-endian
inline constexpr size_t kNxpMacOff = 2;       // MAC text and its NUL
inline constexpr size_t kNxpSwitchOff = 19;   // meter switch
inline constexpr size_t kNxpPasswdOff = 19;   // 32 bits, little-endian, signed
inline constexpr size_t kNxpValidityOff = 23; // 16 bits, little-endian, seconds

// Returns the number of reply bytes written, or 0 when the request was
// refused (too short, reply too small, bad MAC text).
using NxpCmdHandler = int (*)(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap);

struct NxpCmdEntry {
    uint16_t cmd;
    NxpCmdHandler handler;
};

// The MAC text goes onto a shell command line: only 16 lower-case hex digits
// followed by NUL, the form the database lookup produces, pass.
bool macTextValid(const uint8_t *field);

// The checks every command makes before it acts, in order: request length
// (at least reqMin, and always room for the MAC text), reply capacity (at
// least capMin), MAC text. A refusal
// is logged under the command's name, func.
bool requestAdmitted(const char *func, const uint8_t *req, uint16_t reqLen, uint16_t reqMin, const uint8_t *reply,
                     uint16_t cap, uint16_t capMin);

// Runs the command of the code; 0 when no command has that code.
int nxpDevCmdHandler(uint16_t cmd, const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap);

int cmd_request_connect(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap);
int cmd_request_lockPasswdAdd(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap);
int cmd_request_lockCodeCheck(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap);
int cmd_request_factReset(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap);
int cmd_request_meteronoff(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap);
int cmd_request_devDel(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap);

// Report callbacks, called by the thread that delivers the devices' reports:
// (source, unused, MAC text, report). The report goes to json_get_int as it
// came.
void cmd_result_addPsswd(const char *from, void *unused, const char *mac, void *report);
void cmd_result_meterOnoff(const char *from, void *unused, const char *mac, void *report);
void cmd_result_factReset(const char *from, void *unused, const char *mac, void *report);
void cmd_result_codeCheck(const char *from, void *unused, const char *mac, void *report);

// Sets up the module's condition pair. Runs once; later calls do nothing, and
// the commands and callbacks make sure it ran.
void nxpDevInit();

// Number of commands waiting for a report right now (for tests and
// diagnostics).
int nxpDevWaiting();
