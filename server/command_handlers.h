#pragma once
// The four command handlers and the table that ties each to its command word.
// Each handler writes its whole reply to the connection and never closes it;
// the dispatcher does that. The request text is writable and zero-terminated;
// handlers may cut values in place.

#include <iterator>

#include "platform/tcp.h"

void OnListDir(const platform::Socket& connection, char* request);
void OnStreamOpen(const platform::Socket& connection, char* request);
void OnStream2Header(const platform::Socket& connection, char* request);
void OnStreamPackets(const platform::Socket& connection, char* request);

using CommandHandler = void (*)(const platform::Socket& connection, char* request);

struct CommandEntry {
    const char* word;
    CommandHandler handler;
};

// In the order the words are tested: the first one found anywhere in the
// request wins, so "listdir" inside a file name still lists.
inline constexpr CommandEntry COMMANDS[] = {
    {"listdir", OnListDir},
    {"streamopen", OnStreamOpen},
    {"stream2header", OnStream2Header},
    {"streampackets", OnStreamPackets},
};
inline constexpr int COMMAND_COUNT = static_cast<int>(std::size(COMMANDS));
