#include "server/command_handlers.h"

// Not served yet: the client sees the connection close without a reply.
void OnStreamPackets(const platform::Socket&, char*) {}
