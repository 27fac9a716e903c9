#pragma once
// One whole stream as the PSP takes it ("listdir" of the folder, "streamopen",
// "stream2header", "streampackets" with every packet acknowledged), for the
// robustness programs: after abuse or a damaged file, a good stream must work.

#include <cstdint>
#include <optional>
#include <string>

#include "tests/support/pmp_reader.h"
#include "tests/support/protocol_client.h"

namespace robustness {

// The handle "streamopen" gave for name (a file in folder), or nullopt.
inline std::optional<int32_t> OpenStream(uint16_t port, const std::string& folder, const std::string& name,
                                         const std::string& tail = "") {
    test_support::ListDir(port, test_support::ListDirRequest(folder, 65536));
    return test_support::StreamOpen(port, "streamopen filename=" + name + ".pmp" + tail);
}

// "" when the stream came whole: a 56-byte header, N - 1 packets of an
// N-frame stream, then the server's close. Otherwise what went wrong.
inline std::string StreamProblem(uint16_t port, const std::string& folder, const std::string& name) {
    const std::optional<int32_t> handle = OpenStream(port, folder, name);
    if (!handle || *handle < 1 || *handle > 50) return "no handle from streamopen";
    const test_support::RawReply header = test_support::Stream2Header(port, *handle);
    if (header.bytes.size() != 56) return "no 56-byte header";
    const uint32_t frames = test_support::PmpHeaderFrameCount(header.bytes);
    const test_support::ReceivedStream stream = test_support::ReceiveStream(port, *handle, header.bytes, frames + 10);
    if (!stream.ended) return "the stream did not end";
    if (frames < 2 || stream.packets.size() != frames - 1) {
        return "got " + std::to_string(stream.packets.size()) + " packets of a " + std::to_string(frames) +
               "-frame stream";
    }
    return "";
}

}  // namespace robustness
