// Fuzz target of the names the modem's tty is found by: findDev scanning a
// directory for an entry whose name holds a pattern (the USB interface in
// sysfs), and what the cellular tests make of the names found, by findDev
// or by find and basename on the MediaTek SDK. The entry name is any name a
// file system takes; the directory is a private scratch directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "board/atCmd.h"
#include "fuzzInput.h"
#include "peripher/cellular.h"

namespace {

constexpr size_t kNameMax = 255; // NAME_MAX of the file systems
constexpr uint8_t kUntouched = 0xA5;

// A private directory for the entry, made on first use and removed at exit
// (each input's entry is removed after it).
char scratchPath[] = "/tmp/fuzz_ttyName.XXXXXX";

const char *scratchDir()
{
    static const bool made = [] {
        fuzzCheck(mkdtemp(scratchPath) != nullptr, "scratch directory");
        std::atexit([] { rmdir(scratchPath); });
        return true;
    }();
    (void)made;
    return scratchPath;
}

// findDev into an output of exactly cap bytes, so a write past it is caught.
void checkFindDev(const std::string &name, const std::string &pattern, uint16_t cap)
{
    std::vector<char> out(cap, static_cast<char>(kUntouched));
    const int got = findDev(scratchDir(), pattern.c_str(), out.data(), cap);
    if (cap == 0) {
        fuzzCheck(got == -2, "no room is refused");
        return;
    }
    // "." and ".." are entries too; any matching entry may come first.
    std::vector<std::string> matching;
    for (const std::string &entry : {name, std::string("."), std::string("..")}) {
        if (!entry.empty() && entry.find(pattern) != std::string::npos) {
            matching.push_back(entry);
        }
    }
    if (matching.empty()) {
        fuzzCheck(got == 0, "nothing matches");
        for (char c : out) {
            fuzzCheck(static_cast<uint8_t>(c) == kUntouched, "the output stays untouched when nothing matches");
        }
        return;
    }
    bool one = false;
    for (const std::string &entry : matching) {
        const std::string cut = entry.substr(0, size_t{cap} - 1);
        one = one || (got == static_cast<int>(entry.size()) && std::strcmp(out.data(), cut.c_str()) == 0);
    }
    fuzzCheck(one, "a matching name is given whole in length, cut in the output");
}

// "/dev/" and the name, cut to cap - 1 characters: what every path of a
// found name must be.
void checkComposed(void (*compose)(const char *, char *, size_t), const std::string &prefix, const std::string &name,
                   size_t cap)
{
    std::vector<char> out(cap, static_cast<char>(kUntouched));
    compose(name.c_str(), out.data(), cap);
    if (cap == 0) {
        return;
    }
    const std::string want = (prefix + name).substr(0, cap - 1);
    fuzzCheck(std::strcmp(out.data(), want.c_str()) == 0, "the composed text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    const uint16_t cap = static_cast<uint16_t>(in.upTo(300));
    std::string pattern = in.run(8);
    pattern = pattern.substr(0, pattern.find('\0'));
    std::string name = in.bytes(kNameMax);
    for (char &c : name) {
        if (c == '/' || c == '\0') {
            c = '_'; // the two bytes no file name holds
        }
    }
    if (name.empty()) {
        name = "ttyUSB0";
    }

    const bool entry = name != "." && name != "..";
    const std::string path = std::string(scratchDir()) + "/" + name;
    if (entry) {
        const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        fuzzCheck(fd >= 0, "the entry is created");
        close(fd);
    }
    checkFindDev(entry ? name : std::string(), pattern, cap);
    if (entry) {
        unlink(path.c_str());
    }

    // The tty path remembered from the entry name, in the cellular code's
    // slot of 64 bytes and in any other room.
    checkComposed(usbTtyPathOfEntry, "/dev/", name, 64);
    checkComposed(usbTtyPathOfEntry, "/dev/", name, cap);
    // MediaTek SDK: the line find prints (a path of at most 254 characters)
    // into the basename command of 512 bytes, basename's line into a path of
    // 261 bytes: never cut.
    const std::string found = ("/sys/bus/usb/devices/1-1.4:1.2/" + name).substr(0, 254);
    checkComposed(mtkBasenameCommand, "basename ", found, 512);
    checkComposed(mtkTtyPathOfName, "/dev/", name.substr(0, 254), 261);
    checkComposed(mtkBasenameCommand, "basename ", found, cap);
    checkComposed(mtkTtyPathOfName, "/dev/", name, cap);
    return 0;
}
