#pragma once
// The binary replies of the stream protocol: 32-bit little-endian words.

#include <cstdint>

#include "platform/tcp.h"

// One word in one send; the result is not needed by any caller.
void SendLittleEndian32(const platform::Socket& connection, int32_t value);
