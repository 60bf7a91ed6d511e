#pragma once

// The token service settings for the flows: the configuration file, with --endpoint
// over it. False, with the one-line reason, when they are not usable; no call is
// made then.

#include <string>

#include "quillonctl/ctl.h"

bool SetUpServiceFlows(const CtlOptions& options, std::string* error);
