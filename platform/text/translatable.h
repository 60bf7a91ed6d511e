#pragma once

// Marks a text a person reads, so that the translation catalogue (i18n/) lists it
// under `context`, a string literal the catalogue tool reads as it stands. It expands
// to the text itself: the layers below the front ends never translate; a front end
// shows the text through its translator with the same context, and compares or
// records it as it stands.
#define QUILLON_TEXT(context, text) text

// The context of the status and verdict texts the layers below the front ends give
// (QUILLON_TEXT("Status", ...)).
inline constexpr const char* kStatusTextContext = "Status";
