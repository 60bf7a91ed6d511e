#pragma once

// Runtime configuration of the token service client, read by the window and the
// terminal program alike: one INI file (inih), the first of
//   $XDG_CONFIG_HOME/quillon/quillon.conf   ($XDG_CONFIG_HOME unset or relative: ~/.config)
//   /etc/quillon/quillon.conf
// that exists, used whole (the files are not merged). Without either, the built-in
// settings apply, so a machine without a file behaves as before.
//
// Format: top-level `key = value` lines, blank lines, and comments that start with
// '#' or ';' at the start of a line (" ;" also starts a comment after a value).
//   endpoint = http[s]://host[:port]/path     the token service
//   proxy    = host:port                      an HTTP proxy for both schemes
//   keys     = all | ir | pad | NAME,...      the keys quillonctl test asks for
//   results  = PATH | postgresql://...        where test records are kept
// Sections, unknown keys, repeated keys, empty values and indented continuation lines
// are errors, so a typo never passes unnoticed. The first fault found is reported as
// one line: "<file>:<line>: <what>", or "<file>: <what>" for a file that cannot be read.
//
// Qt-free; nothing here keeps state between calls.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CUserAndHardwareService;

struct ServiceSettings {
    ServiceSettings();  // the built-in endpoint, no explicit proxy

    std::string endpoint;   // absolute http or https URL
    std::string proxyHost;  // empty: libcurl's proxy environment variables apply
    std::uint16_t proxyPort = 0;
    std::string testKeys;  // "": all
    std::string results;   // "": the local store
    std::string source;    // the file the settings came from; empty: built in
};

// Where the files are looked for. Tests point it at temporary directories.
struct ConfigEnvironment {
    std::optional<std::string> xdgConfigHome;  // $XDG_CONFIG_HOME
    std::optional<std::string> home;           // $HOME
    std::string systemDir = "/etc";            // holds quillon/quillon.conf

    // The process's environment; $HOME unset falls back to the user's passwd entry.
    static ConfigEnvironment FromProcess();
};

// The candidate files, in the order they are tried (the user's file is left out when
// no home directory is known).
std::vector<std::string> ConfigFileCandidates(const ConfigEnvironment& env);

struct ServiceConfig {
    ServiceSettings settings;  // meaningful only when ok()
    std::string error;         // one line naming the file, the line and the fault

    bool ok() const { return error.empty(); }
};

// Finds and reads the configuration. `endpointOverride` (the terminal program's
// --endpoint) replaces the file's endpoint after the same checks; its faults are
// reported as "--endpoint: <what>". The file is checked whole even when overridden.
// A file that exists but cannot be read is an error, not a missing file.
ServiceConfig LoadServiceConfig(const ConfigEnvironment& env,
                                std::optional<std::string_view> endpointOverride = std::nullopt);

// When the endpoint in use (the configuration's, or `endpointOverride`) is still the
// built-in one, which names no site's service: what to write and where, the file in
// use or else the user's own ("write ... into ~/.config/quillon/quillon.conf as the
// line `endpoint = ...`"). "" for any other endpoint and for an unusable configuration.
std::string BuiltInEndpointHint(const ConfigEnvironment& env,
                                std::optional<std::string_view> endpointOverride = std::nullopt);

// Parses the text of one file; `fileName` only labels the messages and the source.
ServiceConfig ParseServiceConfig(std::string_view text, std::string_view fileName);

// The checks on each value, by the client's own URL rules: "" when usable, else what
// is wrong ("scheme \"ftp\" is not http or https").
std::string CheckEndpointUrl(std::string_view url);
// Splits "host:port" (host may be a bracketed IPv6 literal) into host and port.
std::string ParseProxy(std::string_view value, std::string& host, std::uint16_t& port);

// The one place a flow's client is built from settings: their endpoint, and their
// proxy through SetExplicitProxy. Settings that fail the checks above give a client
// that fails every call with E_FAIL before anything is sent. Throws std::bad_alloc.
std::unique_ptr<CUserAndHardwareService> MakeServiceClient(const ServiceSettings& settings);
