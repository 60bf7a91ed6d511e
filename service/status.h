#pragma once

// Status codes of the token service client. Zero is success and every failure is
// negative, so callers test `< 0`. The values are the usual COM ones so that they
// read the same in traces on every platform.

#include <cstdint>

inline constexpr std::int32_t S_OK = 0;
inline constexpr std::int32_t E_POINTER = static_cast<std::int32_t>(0x80004003u);
inline constexpr std::int32_t E_FAIL = static_cast<std::int32_t>(0x80004005u);
inline constexpr std::int32_t E_INVALIDARG = static_cast<std::int32_t>(0x80070057u);
inline constexpr std::int32_t E_OUTOFMEMORY = static_cast<std::int32_t>(0x8007000Eu);
