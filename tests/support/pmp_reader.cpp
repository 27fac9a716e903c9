#include "tests/support/pmp_reader.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace test_support {

namespace {

void append_le32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(char(uint8_t(value >> (8 * i))));
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// The lines FFmpeg's PMP reader prints when it reads past the last packet.
bool known_end_of_file_line(const std::string& line) {
    return line.empty() || line.find("No audio packets.") != std::string::npos ||
           line.find("Invalid data found when processing input") != std::string::npos;
}

std::string unknown_lines(const std::string& text) {
    std::istringstream lines(text);
    std::string line, kept;
    while (std::getline(lines, line))
        if (!known_end_of_file_line(line))
            kept += line + "\n";
    return kept;
}

void take_field(ProbedStream& stream, const std::string& key, const std::string& value) {
    if (key == "codec_type") stream.codec_type = value;
    else if (key == "codec_name") stream.codec_name = value;
    else if (key == "width") stream.width = std::atoi(value.c_str());
    else if (key == "height") stream.height = std::atoi(value.c_str());
    else if (key == "sample_rate") stream.sample_rate = std::atoi(value.c_str());
    else if (key == "channels") stream.channels = std::atoi(value.c_str());
    else if (key == "nb_read_packets") stream.packets = std::atol(value.c_str());
}

std::vector<ProbedStream> parse_streams(const std::string& text) {
    std::vector<ProbedStream> streams;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "[STREAM]") {
            streams.emplace_back();
            continue;
        }
        size_t equals = line.find('=');
        if (!streams.empty() && equals != std::string::npos)
            take_field(streams.back(), line.substr(0, equals), line.substr(equals + 1));
    }
    return streams;
}

}  // namespace

uint32_t PmpHeaderFrameCount(const std::string& header) {
    return header.size() >= 16 ? ReadLittleEndian32(header, 12) : 0;
}

ReceivedStream ReceiveStream(uint16_t port, int fd, const std::string& header, size_t max_packets,
                             const std::function<void(size_t)>& after_packet) {
    ReceivedStream stream;
    stream.header = header;
    ProtocolConnection connection(port);
    if (!connection.connected() || !connection.send("streampackets fd=" + std::to_string(fd) + "&packet=0"))
        return stream;
    while (stream.packets.size() < max_packets) {
        std::optional<PmpPacket> packet = ReadPmpPacket(connection, true, 60000);
        if (!packet) {
            connection.receive_all(30000);
            stream.ended = connection.closed();
            return stream;
        }
        stream.packets.push_back(std::move(*packet));
        if (after_packet)
            after_packet(stream.packets.size());
    }
    return stream;
}

std::string PacketBody(const PmpPacket& packet) {
    std::string body;
    body.push_back(char(uint8_t(packet.audio_frame_count)));
    append_le32(body, uint32_t(packet.first_delay));
    append_le32(body, uint32_t(packet.last_delay));
    append_le32(body, uint32_t(packet.video.size()));
    for (const std::string& frame : packet.audio_frames)
        append_le32(body, uint32_t(frame.size()));
    body += packet.video;
    for (const std::string& frame : packet.audio_frames)
        body += frame;
    return body;
}

bool WritePmpFile(const std::string& path, const ReceivedStream& stream) {
    if (stream.header.size() != 56)
        return false;
    std::string file = stream.header;
    std::string count;
    append_le32(count, uint32_t(stream.packets.size()));
    file.replace(12, 4, count);
    for (const PmpPacket& packet : stream.packets)
        append_le32(file, packet.size_word);
    for (const PmpPacket& packet : stream.packets)
        file += PacketBody(packet);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.data(), std::streamsize(file.size()));
    return bool(out);
}

std::string RunCommand(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    int result = pclose(pipe);
    if (status)
        *status = result;
    return output;
}

ProbeResult ProbeFile(const std::string& path, bool decode_video) {
    ProbeResult result;
    std::string probe = RunCommand("ffprobe -v error -count_packets -show_entries "
                                   "stream=codec_type,codec_name,width,height,sample_rate,channels,nb_read_packets " +
                                   quoted(path));
    result.streams = parse_streams(probe);
    std::string stripped;
    std::istringstream lines(probe);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty() && line.find('=') == std::string::npos && line[0] != '[')
            stripped += line + "\n";
    // Every picture is decoded; the tool's rate handling stays out of the
    // check. For some header rates (30000/1501: 29.97 frames a second with
    // divider 1.5) FFmpeg's PMP reader gives no time stamps after the first 50
    // pictures, and the null muxer would report clashes in those the tool
    // makes up for them.
    std::string decode = RunCommand("ffmpeg -nostdin -v error -i " + quoted(path) +
                                    (decode_video ? "" : " -map 0:a") + " -fps_mode vfr -f null -");
    result.errors = unknown_lines(stripped) + unknown_lines(decode);
    return result;
}

}  // namespace test_support
