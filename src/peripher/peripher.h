// The peripheral context, the handler contract and the dispatcher that finds
// a test handler by command code: first in the table every model shares,
// then in the table of the gateway's model. The handlers are declared by
// their own headers (identity.h, network.h, buttonLed.h, cellular.h, radio.h,
// zwave.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr uint16_t kReplyCap = 64;
inline constexpr size_t kModelLen = 64;

struct PeripherCtx {
    std::array<char, kModelLen> model;    // upper case, no newline; empty when unreadable
    std::array<uint8_t, kReplyCap> reply; // result byte, then data
    uint16_t replyLen;                    // set only when a handler returns more than 0
    uint16_t replyCap;
};

// Result bytes.
inline constexpr uint8_t kResultPass = 0x00;
inline constexpr uint8_t kResultFail = 0x01;

// A test handler: writes the result byte and any data into the reply buffer
// and returns the number of bytes written (1..capacity), or 0 or below for
// no reply at all.
using CmdHandler = int (*)(uint8_t *reply, int cap);

struct CmdEntry {
    uint16_t cmd;
    CmdHandler handler;
};

// Clears the context and reads the gateway's model (upper case, no newline)
// with the model query; the model stays empty when it cannot be read.
void ctxPeripherInit(PeripherCtx *ctx);
int peripherHandler(uint16_t cmd, PeripherCtx *ctx);
