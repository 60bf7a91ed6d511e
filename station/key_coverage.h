#pragma once

// "Press every key": which of the expected keys were pressed and released, how often,
// how long, and the flags a keyboard line looks for. Pure: presses and releases come
// in with their times, from whichever thread, in the order they happened; nothing here
// waits or reads a clock.
//
// A press is the first highlight of a key; it lasts until its source clears the
// highlight or highlights another key. Sources are independent (the IR remote and
// the game pad may each hold a key at once).

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "receiver/types.h"
#include "station/run_record.h"

struct KeyLimits {
    // A new press of a key that starts this soon after its last press ended is one
    // press registered twice.
    std::chrono::milliseconds doublePress{60};
    // A press held longer than this is a stuck key.
    std::chrono::milliseconds stuck{5000};
};

// The keys `quillonctl test --keys` and `keys =` name: "all", "ir", "pad" or a
// comma-separated list of key names (receiver/key_names) and groups. The token key is
// never part of it (it has a step of its own). Nothing, with `error` set, for a name
// no table gives.
std::optional<std::vector<KeyId>> ParseKeySelection(const std::string& text, std::string* error);

// "5, 6, mute": the keys by the names printed on the remote, for people.
std::string KeyNames(const std::vector<KeyId>& keys);

class KeyCoverage {
public:
    using Clock = std::chrono::steady_clock;

    KeyCoverage(std::vector<KeyId> expected, KeyLimits limits, Clock::time_point start);

    // `source` tells the remote from the game pad (any stable number per source).
    void Highlight(int source, KeyId key, Clock::time_point at);
    void Clear(int source, Clock::time_point at);

    // Every expected key pressed and released at least once.
    bool Complete() const;
    // Expected keys not yet pressed and released, in the order given.
    std::vector<KeyId> Missing() const;
    // A key held now for longer than the stuck limit is flagged at once.
    void Check(Clock::time_point now);
    bool AnyFlagged() const;

    // The measurements; keys still held count as released at `end`. Expected keys
    // first, in order, then other keys that were pressed.
    std::vector<KeyRecord> Records(Clock::time_point end) const;

private:
    struct Key {
        int presses = 0;
        std::optional<Clock::time_point> firstPress;
        std::vector<std::chrono::milliseconds> durations;
        std::optional<Clock::time_point> lastEnd;
        bool doubled = false;
        bool stuck = false;
    };
    struct Held {
        KeyId key;
        Clock::time_point since;
    };
    void Release(int source, Clock::time_point at);

    std::vector<KeyId> m_expected;
    std::set<KeyId> m_expectedSet;
    KeyLimits m_limits;
    Clock::time_point m_start;
    std::map<KeyId, Key> m_keys;
    std::map<int, Held> m_held;
};
