// The NXP device module. The radio service keeps its joined end devices
// (locks, meters) in a file of fixed slots; the commands ask the radio
// service to act through nxp_ucmd.sh and then either poll that file or wait
// for the device's report, which another thread hands to the cmd_result_*
// callbacks.
#include "nxpDev.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

#include "board/shell.h"
#include "clock.h"
#include "fdOwner.h"
#include "log.h"
#include "platform/tovak.h"
#include "util/condPair.h"

namespace {

constexpr char kLogModule[] = "src/nxpDev";

// The platform logger's routing values for this module.
constexpr int kPlatformLogLevel = 2;
constexpr int kPlatformLogSubsystem = -1;

#define NXP_LOG(fmt, ...) \
    log_base_subsystem(__func__, kPlatformLogLevel, kPlatformLogSubsystem, fmt __VA_OPT__(, ) __VA_ARGS__)
// For the checks shared by the commands: logged under the command's name.
#define NXP_LOG_AS(func, fmt, ...) \
    log_base_subsystem(func, kPlatformLogLevel, kPlatformLogSubsystem, fmt __VA_OPT__(, ) __VA_ARGS__)

// Minimum request lengths and reply capacities.
constexpr uint16_t kReqMinBase = 19;     // type and MAC text
constexpr uint16_t kReqMinMeter = 20;    // ... and the switch byte
constexpr uint16_t kReqMinPasswd = 25;   // ... and password and validity
constexpr uint16_t kConnectReplyLen = 5; // result and two 16-bit values
constexpr uint16_t kResultReplyLen = 1;

constexpr uint8_t kPass = 0;
constexpr uint8_t kFail = 1;

// Connect: the device shows up in the database within 100 polls 500 ms apart.
constexpr int kConnectPolls = 100;
constexpr uint64_t kConnectPollMs = 500;

// Password addition: up to three waits for the lock's confirmation.
constexpr int kPasswdWaits = 3;
constexpr int kPasswdWaitSec = 17;
// Code check and factory reset: one wait for the device's report.
constexpr int kReportWaitSec = 55;

constexpr int kStatusPending = 100;
constexpr int kStatusConfirmed = 1;

// The nxp_ucmd.sh command lines. The script only starts the radio's work: its
// exit status tells nothing about the device and is not consulted.
constexpr size_t kShellCmdSize = 256;

std::array<DevRecord, kDevSlotCount> devTable{};
// Opened on first use and kept for the life of the process.
UniqueFd devDbFd;

// Password confirmation: written by the report thread, read by the command.
std::atomic<int> nxpStatus{kStatusPending};

// One pair serves every wait and every signal of the module, so only one
// command may wait at a time, and any report's signal wakes it.
CondPair nxpCond;
pthread_once_t nxpInitOnce = PTHREAD_ONCE_INIT;

void nxpInitOnceBody() { condInit(&nxpCond); }

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t be32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

const char *orEmpty(const char *text) { return text != nullptr ? text : ""; }

} // namespace

// The MAC text goes onto a shell command line: only the exact form the
// database lookup produces passes, so nothing else ever reaches the shell.
bool macTextValid(const uint8_t *field)
{
    for (size_t i = 0; i + 1 < kDevMacTextSize; ++i) {
        const uint8_t c = field[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return field[kDevMacTextSize - 1] == '\0';
}

// The checks every command makes before it acts, in order: request length,
// reply capacity, MAC text. Logged under the command's name. Whatever the
// command's minimum, a request too short to hold the MAC text is refused
// before the text is read.
bool requestAdmitted(const char *func, const uint8_t *req, uint16_t reqLen, uint16_t reqMin, const uint8_t *reply,
                     uint16_t cap, uint16_t capMin)
{
    if (req == nullptr || reqLen < reqMin || reqLen < kNxpMacOff + kDevMacTextSize) {
        NXP_LOG_AS(func, "Input data length small\n");
        return false;
    }
    if (reply == nullptr || cap < capMin) {
        NXP_LOG_AS(func, "Output data length small\n");
        return false;
    }
    if (!macTextValid(req + kNxpMacOff)) {
        NXP_LOG_AS(func, "MAC text refused: 16 lower-case hex digits and NUL expected\n");
        return false;
    }
    return true;
}

namespace {

uint16_t requestType(const uint8_t *req) { return le16(req + kNxpTypeOff); }
const char *requestMac(const uint8_t *req) { return reinterpret_cast<const char *>(req + kNxpMacOff); }

void logEntry(const char *func, const uint8_t *req)
{
    NXP_LOG_AS(func, "NXP Type:%04x, MAC:%s\n", static_cast<unsigned>(requestType(req)), requestMac(req));
}

// The end of the code check and the factory reset: one wait for the device's
// report, logged under the command's name as "<what> Result:<wait's result>";
// passes when the report came.
int replyOnReport(const char *func, const char *what, uint8_t *reply)
{
    const int result = condTimedWait(&nxpCond, kReportWaitSec);
    GW_LOG_AS(func, "%s Result:%d\n\n", what, result);
    reply[0] = result == 0 ? kPass : kFail;
    return kResultReplyLen;
}

constexpr NxpCmdEntry kNxpCmdTable[] = {
    {0x1200, cmd_request_connect},   {0x1202, cmd_request_lockPasswdAdd}, {0x1205, cmd_request_lockCodeCheck},
    {0x1203, cmd_request_factReset}, {0x1204, cmd_request_meteronoff},    {0x1210, cmd_request_devDel},
};

} // namespace

// ---------------------------------------------------------------------------
// Device database
// ---------------------------------------------------------------------------

int formatDevMac(const uint8_t *mac, char *dst, size_t size)
{
    // Two little-endian words, each byte-swapped, the second printed first.
    return std::snprintf(dst, size, "%08x%08x", static_cast<unsigned>(be32(mac + 4)), static_cast<unsigned>(be32(mac)));
}

int load_dev_data()
{
    if (!devDbFd.valid()) {
        devDbFd.reset(open(kDevDbPath, O_RDWR | O_CLOEXEC));
        if (!devDbFd.valid()) {
            NXP_LOG("Open Error\r\n");
            return -1;
        }
    }
    return loadDevSlots(__func__, devDbFd.get());
}

int loadDevSlots(const char *func, int fd)
{
    std::array<uint8_t, kDevSlotSize> slot;
    for (size_t i = 0; i < kDevSlotCount; ++i) {
        // A failed seek shows up as a short read.
        (void)lseek(fd, static_cast<off_t>(i * kDevSlotSize), SEEK_SET);
        slot.fill(0);
        if (read(fd, slot.data(), slot.size()) != static_cast<ssize_t>(slot.size())) {
            NXP_LOG_AS(func, "Read Error\r\n");
            return -1;
        }
        DevRecord &rec = devTable[i];
        std::memcpy(rec.slot.data(), slot.data(), rec.slot.size());
        formatDevMac(slot.data() + kDevMacOff, rec.mac.data(), rec.mac.size());
    }
    return 0;
}

int checkConnected(const char *mac, uint16_t *first, uint16_t *second)
{
    uint16_t firstValue = 0;
    uint16_t secondValue = 0;
    int found = 0;
    if (mac != nullptr) {
        for (const DevRecord &rec : devTable) {
            NXP_LOG("MAC:%s, Valid:%d, CMP Mac:%s\n", rec.mac.data(), rec.slot[kDevValidOff], mac);
            if (std::strcmp(rec.mac.data(), mac) != 0) {
                continue;
            }
            // The first record with this MAC decides.
            if (rec.slot[kDevValidOff] != 0 && rec.slot[kDevConnectedOff] != 0) {
                NXP_LOG("Found\n");
                firstValue = le16(rec.slot.data() + kDevFirstValueOff);
                secondValue = le16(rec.slot.data() + kDevSecondValueOff);
                found = 1;
            } else {
                NXP_LOG("Not Found\n");
            }
            break;
        }
    }
    if (first != nullptr) {
        *first = firstValue;
    }
    if (second != nullptr) {
        *second = secondValue;
    }
    return found;
}

// ---------------------------------------------------------------------------
// Device commands
// ---------------------------------------------------------------------------

void nxpDevInit() { pthread_once(&nxpInitOnce, nxpInitOnceBody); }

int nxpDevWaiting()
{
    nxpDevInit();
    return condWaiting(&nxpCond);
}

int nxpDevCmdHandler(uint16_t cmd, const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap)
{
    for (const NxpCmdEntry &row : kNxpCmdTable) {
        if (row.cmd == cmd) {
            return row.handler(req, reqLen, reply, cap);
        }
    }
    NXP_LOG("No Matched Function,CMD:%04x\n", static_cast<unsigned>(cmd));
    return 0;
}

int cmd_request_connect(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap)
{
    if (!requestAdmitted(__func__, req, reqLen, kReqMinBase, reply, cap, kConnectReplyLen)) {
        return 0;
    }
    logEntry(__func__, req);
    const char *mac = requestMac(req);

    std::array<char, kShellCmdSize> cmd;
    std::snprintf(cmd.data(), cmd.size(), "nxp_ucmd.sh permit %04x %s", static_cast<unsigned>(requestType(req)), mac);
    shellRunUnchecked(cmd.data());

    // The radio service writes the device into its database once it joined.
    uint16_t first = 0;
    uint16_t second = 0;
    bool found = false;
    for (int poll = 0; poll < kConnectPolls; ++poll) {
        (void)load_dev_data(); // a failed load is logged; the poll goes on
        if (checkConnected(mac, &first, &second) == 1) {
            found = true;
            break;
        }
        gwSleepMs(kConnectPollMs);
    }

    std::memset(reply, 0, kConnectReplyLen);
    reply[0] = found ? kPass : kFail;
    reply[1] = static_cast<uint8_t>(first & 0xFF);
    reply[2] = static_cast<uint8_t>(first >> 8);
    reply[3] = static_cast<uint8_t>(second & 0xFF);
    reply[4] = static_cast<uint8_t>(second >> 8);
    return kConnectReplyLen;
}

int cmd_request_lockPasswdAdd(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap)
{
    if (!requestAdmitted(__func__, req, reqLen, kReqMinPasswd, reply, cap, kResultReplyLen)) {
        return 0;
    }
    nxpDevInit();
    const char *mac = requestMac(req);
    const auto passwd = static_cast<int32_t>(le32(req + kNxpPasswdOff));
    const uint16_t validity = le16(req + kNxpValidityOff);
    const long start = static_cast<long>(std::time(nullptr));
    const long end = start + validity;
    NXP_LOG("NXP Type:%04x, MAC:%s\n,start Time:%ld, end Time:%ld", static_cast<unsigned>(requestType(req)), mac, start,
            end);

    // A confirmation from before this command must not count for it.
    nxpStatus.store(kStatusPending);
    std::array<char, kShellCmdSize> cmd;
    std::snprintf(cmd.data(), cmd.size(), "nxp_ucmd.sh passwdadd %s %d %ld %ld", mac, static_cast<int>(passwd), start,
                  end);
    shellRunUnchecked(cmd.data());

    // A confirmation that came before the first wait began left the status
    // at 1 though its signal was lost: the wait's end finds it.
    for (int wait = 0; wait < kPasswdWaits; ++wait) {
        const int result = condTimedWait(&nxpCond, kPasswdWaitSec);
        GW_LOG("Password Add Result:%d\n\n", result);
        if (nxpStatus.load() == kStatusConfirmed) {
            GW_LOG("Password Check Success\n\n");
            break;
        }
    }
    reply[0] = nxpStatus.load() == kStatusConfirmed ? kPass : kFail;
    return kResultReplyLen;
}

int cmd_request_lockCodeCheck(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap)
{
    if (!requestAdmitted(__func__, req, reqLen, kReqMinBase, reply, cap, kResultReplyLen)) {
        return 0;
    }
    nxpDevInit();
    logEntry(__func__, req);

    // Nothing to start: the lock reports a code entered on its keypad.
    return replyOnReport(__func__, "Code Chekc", reply);
}

int cmd_request_factReset(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap)
{
    if (!requestAdmitted(__func__, req, reqLen, kReqMinBase, reply, cap, kResultReplyLen)) {
        return 0;
    }
    nxpDevInit();
    logEntry(__func__, req);

    std::array<char, kShellCmdSize> cmd;
    std::snprintf(cmd.data(), cmd.size(), "nxp_ucmd.sh factreset %s", requestMac(req));
    shellRunUnchecked(cmd.data());

    return replyOnReport(__func__, "Factory Reset", reply);
}

int cmd_request_meteronoff(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap)
{
    if (!requestAdmitted(__func__, req, reqLen, kReqMinMeter, reply, cap, kResultReplyLen)) {
        return 0;
    }
    logEntry(__func__, req);

    const int on = req[kNxpSwitchOff] != 0 ? 1 : 0;
    std::array<char, kShellCmdSize> cmd;
    std::snprintf(cmd.data(), cmd.size(), "nxp_ucmd.sh onoff %s %d", requestMac(req), on);
    shellRunUnchecked(cmd.data());
    NXP_LOG("Shell:%s", cmd.data());

    reply[0] = kPass;
    return kResultReplyLen;
}

int cmd_request_devDel(const uint8_t *req, uint16_t reqLen, uint8_t *reply, uint16_t cap)
{
    if (!requestAdmitted(__func__, req, reqLen, kReqMinBase, reply, cap, kResultReplyLen)) {
        return 0;
    }
    logEntry(__func__, req);

    std::array<char, kShellCmdSize> cmd;
    std::snprintf(cmd.data(), cmd.size(), "nxp_ucmd.sh remove %04x %s", static_cast<unsigned>(requestType(req)),
                  requestMac(req));
    shellRunUnchecked(cmd.data());

    reply[0] = kPass;
    return kResultReplyLen;
}

// ---------------------------------------------------------------------------
// Report callbacks
// ---------------------------------------------------------------------------

void cmd_result_addPsswd(const char *from, void *unused, const char *mac, void *report)
{
    (void)unused;
    (void)report;
    nxpDevInit();
    GW_LOG("======================================\n\n");
    GW_LOG("From:%s, mac:%s\n\n", orEmpty(from), orEmpty(mac));
    GW_LOG("======================================\n\n");
    nxpStatus.store(kStatusConfirmed);
    condSignal(&nxpCond);
}

void cmd_result_meterOnoff(const char *from, void *unused, const char *mac, void *report)
{
    (void)from;
    (void)unused;
    (void)mac;
    (void)report;
    // The switch is not waited for: nothing to wake.
    GW_LOG("=======================================\n\n");
}

void cmd_result_factReset(const char *from, void *unused, const char *mac, void *report)
{
    (void)from;
    (void)unused;
    (void)mac;
    (void)report;
    nxpDevInit();
    GW_LOG("=================================\n\n");
    condSignal(&nxpCond);
    GW_LOG("=================================\n\n");
}

void cmd_result_codeCheck(const char *from, void *unused, const char *mac, void *report)
{
    (void)unused;
    (void)mac;
    nxpDevInit();
    const int code = json_get_int(report, "pass");
    GW_LOG("======================================\n\n");
    GW_LOG("From:%s, code:%d\n\n", orEmpty(from), code);
    GW_LOG("======================================\n\n");
    // Only a code the lock accepted ends the waiting code check.
    if (code == 1) {
        condSignal(&nxpCond);
    }
}
