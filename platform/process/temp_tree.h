#pragma once

// Temporary trees that never outlive their process, however it ends (signal, crash,
// SIGKILL): they are made inside one folder per process, and a small janitor process
// removes that folder once the pipe it reads from closes, which happens exactly when
// the last copy of the write end, held by this process alone, goes away.

#include <string>

// A new directory "<prefix>XXXXXX" inside this process's folder. Throws
// std::runtime_error when it cannot be made. Without a janitor (no /bin/sh) the tree
// is still made; only a normal end then removes it.
std::string MakeTempTree(const std::string& prefix);
