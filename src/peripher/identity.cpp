// Identity queries: what the test station reads to label the gateway.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "board/files.h"
#include "fdOwner.h"
#include "log.h"
#include "peripher/identity.h"
#include "peripher/peripher.h"
#include "peripher/resultReply.h"

namespace {

constexpr char kLogModule[] = "src/peripher";
constexpr char kModelPath[] = "/tmp/sysinfo/model";
constexpr int kModelLineLimit = 64;
constexpr char kMacInterface[] = "eth0";
constexpr int kMacReplyLen = 7; // result byte and six address bytes
constexpr size_t kMacTextSize = 128;

// A version file names its version in the first line, after a key and the
// first delimiter, up to the second delimiter (a build suffix) or the end.
struct VersionSource {
    const char *path;
    const char *firstDelim;
    const char *secondDelim;
};

constexpr VersionSource kSysVersion{"/etc/tovak_build", "=", "-"};
constexpr VersionSource kZigbeeVersion{"/etc/config/tovak/amber/version", ":", ","};
constexpr VersionSource kZwaveVersion{"/etc/config/tovak/zwdev/version", ":", ","};

constexpr uint16_t kVersionLineSize = 256;
// Result byte and at most 64 data bytes: a version of up to 63 characters
// goes out with its terminator, a longer one is cut without it.
constexpr uint16_t kVersionRecordSize = 65;

// The body of the three version queries; it logs under the caller's name.
int versionQuery(const char *caller, const VersionSource &source, uint8_t *reply, int cap)
{
    std::array<char, kVersionLineSize> line{};
    std::array<uint8_t, kVersionRecordSize> record{};
    int len = 0;
    if (getInfoFromFile(source.path, line.data(), kVersionLineSize) == -1) {
        len = resInfoWrite(record.data(), kVersionRecordSize, kResultFail, nullptr, 0);
    } else {
        const char *version = versionFromLine(line.data(), source.firstDelim, source.secondDelim);
        if (version == nullptr) {
            GW_LOG_AS(caller, "Version Not Found In %s.\r\n\n", source.path);
            len = resInfoWrite(record.data(), kVersionRecordSize, kResultFail, nullptr, 0);
        } else {
            // The text and its terminator; the record's capacity cuts a long one.
            const auto *text = reinterpret_cast<const uint8_t *>(version);
            const auto textLen = static_cast<uint16_t>(std::strlen(version));
            len =
                resInfoWrite(record.data(), kVersionRecordSize, kResultPass, text, static_cast<uint16_t>(textLen + 1));
            GW_LOG_AS(caller, "Systerm Information:%s\r\n\n", version);
        }
    }
    if (cap < len) {
        GW_LOG_AS(caller, "Buffer Length Too Less Actual Length:%d\r\n\n", cap);
        len = cap;
    }
    if (len <= 0) {
        return 0;
    }
    std::memcpy(reply, record.data(), static_cast<size_t>(len));
    return len;
}

} // namespace

const char *versionFromLine(char *line, const char *firstDelim, const char *secondDelim)
{
    // The key, then the version: strtok's scan, in two steps on one line.
    char *rest = nullptr;
    const char *key = strtok_r(line, firstDelim, &rest);
    const char *version = key != nullptr ? strtok_r(nullptr, secondDelim, &rest) : nullptr;
    // A line without a version (an empty or unopenable file, no first
    // delimiter, nothing or only the newline after it) names none: an empty
    // version must not pass as one.
    if (version == nullptr || version[0] == '\n') {
        return nullptr;
    }
    return version;
}

int cmd_request_mac(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Mac.\r\n\n");

    UniqueFd sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.valid()) {
        GW_LOG("socket Open Error:%s\r\n\n", std::strerror(errno));
        return 0;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, kMacInterface, sizeof req.ifr_name);
    req.ifr_name[sizeof req.ifr_name - 1] = '\0';
    if (ioctl(sock.get(), SIOCGIFHWADDR, &req) < 0) {
        GW_LOG("ioctl Operate Error:%s\r\n\n", std::strerror(errno));
        return 0;
    }
    sock.reset();

    std::array<uint8_t, kMacReplyLen> record{};
    std::memcpy(record.data() + 1, req.ifr_hwaddr.sa_data, kMacReplyLen - 1);
    char text[kMacTextSize];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", record[1], record[2], record[3], record[4],
                  record[5], record[6]);
    GW_LOG("Mac:%s \r\n\n", text);

    if (cap >= kMacReplyLen) {
        GW_LOG("MAC Function Get Mac Success, buffLen:%d.\r\n\n", kMacReplyLen);
        record[0] = kResultPass;
        std::memcpy(reply, record.data(), kMacReplyLen);
        return kMacReplyLen;
    }
    GW_LOG("MAC Buffer Too Less: Length %d.\r\n\n", kMacReplyLen);
    record[0] = kResultFail;
    if (cap <= 0) {
        return cap;
    }
    std::memcpy(reply, record.data(), static_cast<size_t>(cap));
    return cap;
}

int cmd_request_sysversion(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Sysversion.\r\n\n");
    return versionQuery(__func__, kSysVersion, reply, cap);
}

int cmd_request_zbversion(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function ZBversion.\r\n\n");
    return versionQuery(__func__, kZigbeeVersion, reply, cap);
}

int cmd_request_zwversion(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function ZWversion.\r\n\n");
    return versionQuery(__func__, kZwaveVersion, reply, cap);
}

int cmd_request_model(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function model.\r\n\n");

    // Result byte, the line (at most 63 characters and its terminator).
    std::array<uint8_t, 1 + kModelLineLimit> record{};
    bool found = false;
    if (access(kModelPath, R_OK) == 0) {
        UniqueFile file(std::fopen(kModelPath, "r"));
        if (!file) {
            GW_LOG("%s Open Error:%s\n", kModelPath, std::strerror(errno));
        } else {
            char *text = reinterpret_cast<char *>(record.data() + 1);
            // An empty file yields no model text: that is a failed query,
            // not an empty model that passes.
            found = std::fgets(text, kModelLineLimit, file.get()) != nullptr && text[0] != '\0';
        }
    }
    if (!found) {
        GW_LOG("Path:%s Can not Find.\r\n\n", kModelPath);
        reply[0] = kResultFail;
        return 1;
    }

    record[0] = kResultPass;
    const char *text = reinterpret_cast<const char *>(record.data() + 1);
    int len = static_cast<int>(std::strlen(text)) + 2;
    if (cap < len) {
        GW_LOG("Buffer Length Too Less Actual Length:%d\r\n\n", cap);
        len = cap;
    }
    GW_LOG("Get Model Path:%s, Model(%d):%s.\r\n\n", kModelPath, len, text);
    std::memcpy(reply, record.data(), static_cast<size_t>(len));
    return len;
}
