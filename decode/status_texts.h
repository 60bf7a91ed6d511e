#pragma once

// The texts both front ends show for what the receiver and decoding layers report:
// the status line of each receiver and the outcome of a token input (UTF-8).

// Status lines for RECEIVER_READING, RECEIVER_WAITING and RECEIVER_ENDED; "" for any
// other code.
const char* IrStatusText(int status);
const char* GameStatusText(int status);
// "令匙输入成功" and the failures, by TokenResult; "" for any other code.
const char* TokenResultText(int result);
