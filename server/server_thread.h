#pragma once
// The server thread: one listener on the "serverPort" setting, one connection
// served at a time, one request per connection.

#include <cstdint>

#include "platform/tcp.h"

class CVantrelDlg;

// Records the dialog, clears the slot table, creates the events, starts the server thread.
void StartStreamServer(CVantrelDlg* dialog);
// Closes the listener, ends the connection being served and joins the server
// thread, so the program (or a test) can end cleanly. Does nothing when no
// server thread runs.
void StopStreamServer();

// A client that connects and sends nothing is dropped after this long.
constexpr int REQUEST_READ_TIMEOUT_MS = 5000;
constexpr int SERVER_SEND_BUFFER_SIZE = 8192;

// The thread procedure; the argument is not read. Returns when accept fails or
// the server is stopped.
void ServerThreadProc(void* unused);

// Reads one request, hands it to its command handler (or answers "-1") and
// closes the connection.
void HandleClientRequest(platform::Socket connection);

// Starts ServerThreadProc on its own thread (a running one is stopped first).
void StartServerThread();
// Shuts the listener and the connection being served down and joins the thread.
void StopServerThread();
// The first half of StopServerThread: marks the server as stopping and shuts
// the listener and the connection down, without waiting for the thread.
void BeginStopServerThread();
// True from BeginStopServerThread until StopServerThread has joined the thread.
bool ServerThreadStopping();

// The port the listener bound, once it has; 0 when the listener failed or did
// not stand within timeout_ms. The setting 0 makes the listener take a free
// port (tests only; validation never lets 0 through).
uint16_t WaitForServerPort(int timeout_ms);

// Test hooks: listen on 127.0.0.1 only; a shorter request read limit.
void SetServerLoopbackOnly(bool loopback_only);
void SetRequestReadTimeout(int timeout_ms);
