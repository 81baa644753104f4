// The peripheral context of a connection: cleared when a station connects,
// with the gateway's model read once, so that every request of the
// connection is dispatched on the same model.
#include <array>
#include <cstring>

#include "log.h"
#include "peripher/identity.h"
#include "peripher/peripher.h"
#include "util/strings.h"

namespace {

constexpr char kLogModule[] = "src/peripher";
// The model query called by the context initialisation has one byte more
// room than the reply buffer, so the longest model line is never cut.
constexpr int kModelQueryCap = 65;

} // namespace

void ctxPeripherInit(PeripherCtx *ctx)
{
    std::memset(ctx, 0, sizeof *ctx);
    ctx->replyCap = kReplyCap;

    std::array<uint8_t, kModelQueryCap> answer{};
    const int got = cmd_request_model(answer.data(), kModelQueryCap);
    if (got <= 0) {
        GW_LOG("Can't Get Device Model.\n\n");
        return;
    }
    // Only the bytes the query returned count; the model keeps its terminator.
    const size_t avail = static_cast<size_t>(got) - 1;
    for (size_t i = 0; i < avail && i < ctx->replyCap && i + 1 < ctx->model.size(); ++i) {
        const char c = static_cast<char>(answer[1 + i]);
        if (c == '\0') {
            break;
        }
        ctx->model[i] = c;
    }
    strToUpper(ctx->model.data());
    strCutNewline(ctx->model.data());
    GW_LOG("Device Model:%s\n\n", ctx->model.data());
}
