#include "server/reply_words.h"

void PutLittleEndian32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

void SendLittleEndian32(const platform::Socket& connection, int32_t value) {
    uint8_t word[4];
    PutLittleEndian32(word, static_cast<uint32_t>(value));
    platform::send_all(connection, word, sizeof word);
}
