#include "server/reply_words.h"

#include "platform/byte_order.h"
void SendLittleEndian32(const platform::Socket& connection, int32_t value) {
    uint8_t word[4];
    platform::store_le32(word, static_cast<uint32_t>(value));
    platform::send_all(connection, word, sizeof word);
}
