// Calling a test handler with a marked reply buffer.
#include "handlerCall.h"

#include <algorithm>
#include <array>

#include "capture.h"

namespace sandbox {

HandlerResult callHandler(CmdHandler handler, int cap)
{
    constexpr uint8_t kMarker = 0xA5;
    std::array<uint8_t, kReplyCap> buffer{};
    buffer.fill(kMarker);
    HandlerResult result;
    {
        OutputCapture capture;
        result.len = handler(buffer.data(), cap);
        result.out = capture.finish();
    }
    const size_t used = static_cast<size_t>(std::clamp(result.len, 0, static_cast<int>(buffer.size())));
    result.reply.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
    result.wroteBeyond = std::any_of(buffer.begin() + static_cast<std::ptrdiff_t>(used), buffer.end(),
                                     [](uint8_t b) { return b != kMarker; });
    return result;
}

} // namespace sandbox
