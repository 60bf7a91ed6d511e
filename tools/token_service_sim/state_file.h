#pragma once

// The simulator's state file: the token table in its text form (token_model.h), read
// once at start and rewritten after every change.

#include <string>
#include <string_view>

#include "tools/token_service_sim/token_model.h"

namespace quillon::tokensim {

// Replaces `path` with `contents` so that a crash or a failed write at any point leaves
// either the old file or the new one, never a mix: a temporary file in the same
// directory is written, synced and renamed over `path`, then the directory is synced.
// On failure the temporary file is removed, `path` is untouched and `error` says why.
bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string& error);

enum class LoadOutcome {
    Loaded,   // the file was read
    Created,  // the file did not exist; it now holds the demo token
    Failed,   // unreadable or malformed; the file is left as it was
};

// Reads the token table from `path`; creates the file with DemoTokenTable() when it
// does not exist. Leftover temporary files of an interrupted write are ignored.
LoadOutcome LoadStateFile(const std::string& path, TokenTable& tokens, std::string& error);

bool SaveStateFile(const std::string& path, const TokenTable& tokens, std::string& error);

}  // namespace quillon::tokensim
