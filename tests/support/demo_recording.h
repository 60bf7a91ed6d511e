#pragma once

// The recording of the demo's scenario kept under tests/data (made with
// `quillon_demo --headless --record`): what the virtual kit's receivers sent while the
// scenario held key 5, held the game pad's yellow key and pressed the token key five
// times (verified, drifted and refused, calibration's two presses, verified again).
// A replay of it must decode to these keys and token frames, whatever the path: the
// virtual kit's served nodes or the real kernel's uhid devices.

#include <string>
#include <vector>

#ifdef QUILLON_SOURCE_DIR
// The file in the source tree, for tests that run there (the kernel tier's guest has
// it built into its program instead).
inline constexpr const char* kDemoRecording = QUILLON_SOURCE_DIR "/tests/data/demo-scenario.hidrec";
#endif

// The token key's id, which begins every frame.
inline constexpr int kTokenKeyId = 244;

// The keys pressed, in order (the token key left out).
inline std::vector<int> DemoRecordingKeys() {
    return {53, 4103};
}

// Each token frame's 17 digits: serial then password.
inline std::vector<std::string> DemoRecordingFrames() {
    return {"12345678907457708", "12345678984107346", "12345678984107346", "12345678904756099",
            "12345678924788602"};
}
