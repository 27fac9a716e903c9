#pragma once
// The four command handlers. Each writes its whole reply to the connection and
// never closes it; the dispatcher does that. The request text is writable and
// zero-terminated; handlers may cut values in place.

#include "platform/tcp.h"

void OnListDir(const platform::Socket& connection, char* request);
void OnStreamOpen(const platform::Socket& connection, char* request);
void OnStream2Header(const platform::Socket& connection, char* request);
void OnStreamPackets(const platform::Socket& connection, char* request);
