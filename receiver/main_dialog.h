#pragma once

// What the receiver and decoding layers call on the main dialog. The window layer
// implements it; tests put a recording fake in its place. Every operation may be
// called from a worker thread.

#include "receiver/types.h"

class IMainDialog {
public:
    virtual ~IMainDialog() = default;

    virtual void ShowIrStatus(int status) = 0;
    virtual void ShowGameStatus(int status) = 0;
    virtual void HighlightKey(KeyId key) = 0;
    virtual void ClearHighlight() = 0;
    virtual void ShowTokenResult(int result) = 0;
    // The 17 characters of a whole frame, NUL-terminated. Returns only when the
    // dialog has finished with them.
    virtual void OnTokenTaken(const char* digits) = 0;
};
