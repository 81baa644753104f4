// gwsim-emu: the serial peers of a gwsim board, on ptys bound where the
// gateway's devices are. Started by the board with its scenario in the
// environment (GWSIM_*); runs until the board ends.
//
//   gwsim-emu --state DIR --model GWM0101|GWM0202|GWM0303|GWM0404
//
// - the USB modem (GWM0202, GWM0404): a pty bound at DIR/modem-usb, its
//   slave's path written to DIR/modem.pts; the board's power pulses make
//   /dev/ttyUSB4 lead to it;
// - the 2G modem (GWM0303): on /dev/ttyS2 (or /dev/ttyS1);
// - the NXP radio (GWM0101, GWM0303, GWM0404): on /dev/ttyS1, answering
//   the single-carrier probe frame.
// Writes DIR/emu.ready once every port is in place.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "emulatedPort.h"
#include "modem.h"

namespace {

// The single-carrier probe the service sends to the NXP radio, and the
// radio's acknowledgement (any answer within 500 ms passes the test).
const std::string kNxpProbe{"\x01\x05\x02\x00\x01\x79\x0c", 7};
const std::string kNxpAck{"\x01\x06\x02\x00\x01\x00\x04", 7};
constexpr unsigned kNxpLateMs = 800;

std::string env(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

unsigned envNumber(const char *name, unsigned fallback)
{
    const std::string text = env(name, "");
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return fallback;
    }
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

std::vector<gwemu::Rule> modemRulesFromScenario()
{
    const std::string modem = env("GWSIM_MODEM", "present");
    if (modem == "absent") {
        return {};
    }
    gwemu::ModemBehaviour b;
    b.answers = modem != "silent";
    b.delayMs = envNumber("GWSIM_MODEM_DELAY_MS", 0);
    b.simReadyFrom = env("GWSIM_SIM", "ready") == "absent" ? 0 : envNumber("GWSIM_SIM_READY_AFTER", 1);
    return gwemu::modemRules(b);
}

std::vector<gwemu::Rule> nxpRulesFromScenario()
{
    const std::string radio = env("GWSIM_NXP", "answer");
    if (radio == "silent") {
        return {};
    }
    const unsigned delay = radio == "late" ? kNxpLateMs : 0;
    return {gwemu::Rule{kNxpProbe, [delay](const std::string &, unsigned) {
                            return gwemu::Answer{gwemu::Chunk{delay, kNxpAck}};
                        }}};
}

bool openPort(std::vector<std::unique_ptr<gwemu::EmulatedPort>> &ports, const std::string &path,
              std::vector<gwemu::Rule> rules)
{
    auto port = std::make_unique<gwemu::EmulatedPort>(path, std::move(rules));
    if (!port->error().empty()) {
        std::fprintf(stderr, "gwsim-emu: %s\n", port->error().c_str());
        return false;
    }
    ports.push_back(std::move(port));
    return true;
}

volatile sig_atomic_t stopping = 0;
void onSignal(int) { stopping = 1; }

} // namespace

int main(int argc, char **argv)
{
    std::string state;
    std::string model;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--state") {
            state = argv[i + 1];
        } else if (key == "--model") {
            model = argv[i + 1];
        }
    }
    if (state.empty() || model.empty()) {
        std::fprintf(stderr, "usage: gwsim-emu --state DIR --model MODEL\n");
        return 64;
    }

    // The ports stand in for hardware, which answers in its own time whatever
    // else the machine is doing. Ahead of the host's other work (builds, other
    // boards), the radio's answer stays inside the service's 500 ms wait even
    // on a loaded machine. Only root may do this; otherwise keep the default.
    (void)setpriority(PRIO_PROCESS, 0, -10);

    std::vector<std::unique_ptr<gwemu::EmulatedPort>> ports;
    bool ok = true;
    // An absent USB modem never enumerates: no pty for /dev/ttyUSB4 at all.
    if ((model == "GWM0202" || model == "GWM0404") && env("GWSIM_MODEM", "present") != "absent") {
        const std::string path = state + "/modem-usb";
        ok = openPort(ports, path, modemRulesFromScenario());
        if (ok) {
            std::ofstream(state + "/modem.pts") << ports.back()->pty().slavePath() << "\n";
        }
    }
    if (ok && model != "GWM0202") {
        // The NXP radio's UART, shared on GWM0303 with the 2G modem when the
        // scenario puts the modem there.
        std::vector<gwemu::Rule> ttyS1 = nxpRulesFromScenario();
        const bool modemOnS1 = model == "GWM0303" && env("GWSIM_MODEM_PORT", "ttyS2") == "ttyS1";
        if (modemOnS1) {
            for (auto &rule : modemRulesFromScenario()) {
                ttyS1.push_back(std::move(rule));
            }
        }
        ok = openPort(ports, "/dev/ttyS1", std::move(ttyS1));
        if (ok && model == "GWM0303") {
            ok = openPort(ports, "/dev/ttyS2", modemOnS1 ? std::vector<gwemu::Rule>{} : modemRulesFromScenario());
        }
    }
    if (!ok) {
        return 1;
    }

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::ofstream(state + "/emu.ready") << "ready\n";
    while (stopping == 0) {
        pause();
    }
    return 0;
}
