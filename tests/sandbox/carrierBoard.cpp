// The single-carrier tests' board and the emulated NXP radio.
#include "carrierBoard.h"

#include "overlay.h"
#include "sandbox.h"
#include "tools.h"

namespace sandbox {

void setUpCarrierBoard()
{
    overlayDir("/etc");
    freshDev();
    setUpTools();
    installTool("/etc/init.d/nxp");
    installTool("tovak_ucmd.sh");
    installTool("ubus");
}

NxpRadio::NxpRadio(const std::function<gwemu::Answer(unsigned hit)> &answer)
    : EmulatedPort(kNxpUart,
                   {gwemu::Rule{kNxpProbe, [answer](const std::string &, unsigned hit) { return answer(hit); }}})
{
}

NxpRadio::NxpRadio() : NxpRadio([](unsigned) { return gwemu::Answer{gwemu::Chunk{0, kNxpAck}}; }) {}

} // namespace sandbox
