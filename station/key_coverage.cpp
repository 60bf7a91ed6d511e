#include "station/key_coverage.h"

#include <algorithm>
#include <sstream>

#include "receiver/key_names.h"

namespace {

constexpr KeyId kIrKeys[] = {8,   13,  27,  33,  34,  37,  38,  39,  40,  48,  49,  50,
                             51,  52,  53,  54,  55,  56,  57,  146, 147, 148, 173, 174,
                             175, 176, 177, 178, 179, 227, 233, 234, 235, 236, 238, 243};

void AddGroup(std::vector<KeyId>* keys, const std::string& group) {
    auto add = [keys](KeyId key) {
        if (std::find(keys->begin(), keys->end(), key) == keys->end())
            keys->push_back(key);
    };
    if (group == "ir" || group == "all") {
        for (KeyId key : kIrKeys)
            add(key);
    }
    if (group == "pad" || group == "all") {
        for (KeyId key = FIRST_GAME_KEY_ID; key <= LAST_GAME_KEY_ID; ++key)
            add(key);
    }
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<KeyId> KeyByName(const std::string& name) {
    for (KeyId key : kIrKeys) {
        if (KeyName(key) == name)
            return key;
    }
    for (KeyId key = FIRST_GAME_KEY_ID; key <= LAST_GAME_KEY_ID; ++key) {
        if (KeyName(key) == name)
            return key;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<KeyId>> ParseKeySelection(const std::string& text, std::string* error) {
    std::vector<KeyId> keys;
    std::stringstream in(text);
    std::string part;
    bool any = false;
    while (std::getline(in, part, ',')) {
        const std::string name = Trimmed(part);
        if (name.empty())
            continue;
        any = true;
        if (name == "all" || name == "ir" || name == "pad") {
            AddGroup(&keys, name);
            continue;
        }
        const std::optional<KeyId> key = KeyByName(name);
        if (!key) {
            if (error)
                *error = "no key is called \"" + name + "\" (see quillonctl(1) for the names)";
            return std::nullopt;
        }
        if (std::find(keys.begin(), keys.end(), *key) == keys.end())
            keys.push_back(*key);
    }
    if (!any) {
        if (error)
            *error = "no keys are selected";
        return std::nullopt;
    }
    return keys;
}

std::string KeyNames(const std::vector<KeyId>& keys) {
    std::string text;
    for (KeyId key : keys) {
        if (!text.empty())
            text += ", ";
        text += KeyName(key);
    }
    return text;
}

KeyCoverage::KeyCoverage(std::vector<KeyId> expected, KeyLimits limits, Clock::time_point start)
    : m_expected(std::move(expected)),
      m_expectedSet(m_expected.begin(), m_expected.end()),
      m_limits(limits),
      m_start(start) {}

void KeyCoverage::Highlight(int source, KeyId key, Clock::time_point at) {
    if (key == TOKEN_KEY_ID)
        return;
    const auto held = m_held.find(source);
    if (held != m_held.end()) {
        if (held->second.key == key)
            return;  // the same press goes on
        Release(source, at);
    }
    Key& k = m_keys[key];
    if (k.lastEnd && at - *k.lastEnd < m_limits.doublePress)
        k.doubled = true;
    ++k.presses;
    if (!k.firstPress)
        k.firstPress = at;
    m_held[source] = {key, at};
}

void KeyCoverage::Clear(int source, Clock::time_point at) {
    Release(source, at);
}

void KeyCoverage::Release(int source, Clock::time_point at) {
    const auto held = m_held.find(source);
    if (held == m_held.end())
        return;
    Key& k = m_keys[held->second.key];
    const auto lasted =
        std::chrono::duration_cast<std::chrono::milliseconds>(at - held->second.since);
    k.durations.push_back(lasted);
    if (lasted > m_limits.stuck)
        k.stuck = true;
    k.lastEnd = at;
    m_held.erase(held);
}

bool KeyCoverage::Complete() const {
    return Missing().empty();
}

std::vector<KeyId> KeyCoverage::Missing() const {
    std::vector<KeyId> missing;
    for (KeyId key : m_expected) {
        const auto k = m_keys.find(key);
        if (k == m_keys.end() || k->second.durations.empty())
            missing.push_back(key);
    }
    return missing;
}

void KeyCoverage::Check(Clock::time_point now) {
    for (const auto& [source, held] : m_held) {
        if (now - held.since > m_limits.stuck)
            m_keys[held.key].stuck = true;
    }
}

bool KeyCoverage::AnyFlagged() const {
    return std::any_of(m_keys.begin(), m_keys.end(),
                       [](const auto& k) { return k.second.doubled || k.second.stuck; });
}

std::vector<KeyRecord> KeyCoverage::Records(Clock::time_point end) const {
    std::map<KeyId, Key> keys = m_keys;
    for (const auto& [source, held] : m_held) {
        Key& k = keys[held.key];
        const auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(end - held.since);
        k.durations.push_back(lasted);
        if (lasted > m_limits.stuck)
            k.stuck = true;
    }
    std::vector<KeyRecord> records;
    auto add = [&](KeyId id, const Key* k) {
        KeyRecord r;
        r.id = id;
        r.name = std::string(KeyName(id));
        if (k) {
            r.presses = k->presses;
            if (k->firstPress)
                r.firstPressMs =
                    std::chrono::duration_cast<std::chrono::milliseconds>(*k->firstPress - m_start)
                        .count();
            for (auto d : k->durations)
                r.durationsMs.push_back(d.count());
            r.doubled = k->doubled;
            r.stuck = k->stuck;
        }
        // Held at the end is not released: still missing.
        const auto released = m_keys.find(id);
        r.missing = m_expectedSet.count(id) != 0 &&
                    (released == m_keys.end() || released->second.durations.empty());
        records.push_back(std::move(r));
    };
    for (KeyId id : m_expected) {
        const auto k = keys.find(id);
        add(id, k == keys.end() ? nullptr : &k->second);
    }
    for (const auto& [id, k] : keys) {
        if (m_expectedSet.count(id) == 0)
            add(id, &k);
    }
    return records;
}
