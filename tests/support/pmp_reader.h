#pragma once
// A whole "streampackets" stream received as the PSP player would take it,
// written out as a PMP file that FFmpeg's own tools can read, and what
// ffprobe then says about that file.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/protocol_client.h"

namespace test_support {

struct ReceivedStream {
    std::string header;               // the 56 bytes of "stream2header"
    std::vector<PmpPacket> packets;   // every packet, each acknowledged
    bool ended = false;               // the server closed the connection
};

// The header's frame count (offset 12).
uint32_t PmpHeaderFrameCount(const std::string& header);

// Sends "streampackets fd=<fd>&packet=0" and reads packets until the server
// closes the connection. After max_packets the client hangs up at once.
// after_packet (when set) runs after each acknowledged packet, with the count so far.
ReceivedStream ReceiveStream(uint16_t port, int fd, const std::string& header, size_t max_packets,
                             const std::function<void(size_t)>& after_packet = {});

// A whole stream as the player asks for it: "listdir" of the folder,
// "streamopen" of name (with "&stime=" when stime is set), "stream2header" and
// "streampackets", at most max_packets (0: the header's count and ten more).
// Failed steps are test failures; nothing is received without a handle.
ReceivedStream OpenAndReceiveStream(uint16_t port, const std::string& folder, const std::string& name,
                                    const std::string& stime = "", size_t max_packets = 0,
                                    const std::function<void(size_t)>& after_packet = {});

// The bytes of a packet after its first word, as they came over the wire.
std::string PacketBody(const PmpPacket& packet);

// The PMP file: the header with the count of packets received, one index word
// per packet (its first word), then the packets without their first word.
bool WritePmpFile(const std::string& path, const ReceivedStream& stream);

struct ProbedStream {
    std::string codec_type;
    std::string codec_name;
    int width = 0;
    int height = 0;
    int sample_rate = 0;
    int channels = 0;
    long packets = 0;
};

// ffprobe's view of the streams in path (with every packet counted); errors
// holds what ffprobe and a full ffmpeg decode printed besides the known lines
// with which FFmpeg's PMP reader meets the end of a file.
struct ProbeResult {
    std::vector<ProbedStream> streams;
    std::string errors;
};
// Without decode_video only the audio is decoded (a stream without pictures).
ProbeResult ProbeFile(const std::string& path, bool decode_video = true);

// The output of a shell command (stdout and stderr), and its exit status.
std::string RunCommand(const std::string& command, int* status = nullptr);

}  // namespace test_support
