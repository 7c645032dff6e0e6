// The interactive tracer: records as they arrive, a status line, a key for
// each request to the host.
#pragma once
#include "channels.h"

namespace mrvtrace {

// Runs until the user quits or `stop_fd` becomes readable; the exit status.
int run_terminal(Server& server, int stop_fd);

}  // namespace mrvtrace
