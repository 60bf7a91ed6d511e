#pragma once

// For a thread that writes with SIGPIPE blocked: swallows the SIGPIPE a write to a
// gone reader left pending on it, so it can never reach the process later.
void DropPendingSigpipe();
