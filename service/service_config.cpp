#include "service/service_config.h"

#include <ini.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/process/display_escape.h"
#include "platform/process/small_file.h"
#include "service/http_transport.h"
#include "service/status.h"

namespace {

constexpr std::string_view kFileTail = "quillon/quillon.conf";
// A real file is a few lines; anything this large is not one.
constexpr std::size_t kMaxFileBytes = 64 * 1024;
// Room for an endpoint of the longest URL the client takes, and then some.
constexpr std::size_t kMaxLineChars = 4096;

// inih's line buffer (INI_MAX_LINE, 200 bytes by default) is a run-time setting in
// Debian's build; it needs room for the line, "\r\n" and the terminator. Set once,
// before the first parse, so no thread ever sees it change under a parse.
void WidenInihLines() {
    static const bool widened = [] {
        ini_max_line = static_cast<int>(kMaxLineChars + 3);
        return true;
    }();
    (void)widened;
}

std::string JoinPath(std::string_view dir, std::string_view tail) {
    std::string path(dir);
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (path != "/") {
        path += '/';
    }
    path += tail;
    return path;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A DNS name or IPv4 address, or a bracketed IPv6 literal. Anything else would only
// fail later, inside the transfer, with a less useful message.
bool HostNameOk(std::string_view host) {
    if (host.empty()) {
        return false;
    }
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        for (char c : host.substr(1, host.size() - 2)) {
            const bool hex = IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex && c != ':' && c != '.') {
                return false;
            }
        }
        return true;
    }
    for (char c : host) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !IsDigit(c) && c != '-' && c != '.' && c != '_') {
            return false;
        }
    }
    return true;
}

constexpr std::string_view kBadHost =
    "host may hold only letters, digits, '-', '.' and '_', or be a bracketed IPv6 address";

// Parse state shared by the line reader and the key handler, which inih calls in
// turn: the reader hands over one line, then the handler sees its key, if any.
struct ParseState {
    explicit ParseState(std::string_view t) : text(t) {}

    std::string_view text;
    std::size_t pos = 0;
    int line = 0;               // the line last handed to inih
    std::string_view lineText;  // its text without the line end
    bool sawKey = false;
    int endpointLine = 0;
    int proxyLine = 0;
    int keysLine = 0;
    int resultsLine = 0;
    ServiceSettings settings;
    int errorLine = 0;  // the first fault found by the reader or the handler
    std::string error;

    void Record(std::string what) {
        if (errorLine == 0) {
            errorLine = line;
            error = std::move(what);
        }
    }
};

// fgets for inih over the text. Counting lines here gives the handler its line
// number. A line that does not fit inih's buffer would be split by it into several,
// so the reader stops there instead.
char* ReadLine(char* buffer, int size, void* stream) {
    auto& s = *static_cast<ParseState*>(stream);
    try {
        if (s.pos >= s.text.size() || size < 4) {
            return nullptr;
        }
        const std::size_t newline = s.text.find('\n', s.pos);
        const std::size_t next = newline == std::string_view::npos ? s.text.size() : newline + 1;
        const std::string_view raw = s.text.substr(s.pos, next - s.pos);
        std::string_view content = raw;
        while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
            content.remove_suffix(1);
        }
        ++s.line;
        s.lineText = content;
        if (content.find('\0') != std::string_view::npos) {
            s.Record("holds a NUL byte");
            return nullptr;
        }
        // inih wants room for "\r\n" and the terminator.
        const std::size_t room = static_cast<std::size_t>(size) - 3;
        if (content.size() > room || raw.size() > room + 2) {
            s.Record("line longer than " + std::to_string(room) + " characters");
            return nullptr;
        }
        std::memcpy(buffer, raw.data(), raw.size());
        buffer[raw.size()] = '\0';
        s.pos = next;
        return buffer;
    } catch (...) {
        s.Record("out of memory");
        return nullptr;
    }
}

std::string CheckKey(ParseState& s, std::string_view section, std::string_view name,
                     std::string_view value) {
    if (!section.empty()) {
        return "section [" + EscapeForDisplay(section) +
               "] is not used: put the keys at the top of the file";
    }
    // inih takes an indented line after a key as more of that key's value.
    if (s.sawKey && !s.lineText.empty() && IsSpace(s.lineText.front())) {
        return "indented line would continue the value of " + EscapeForDisplay(name) +
               "; remove the indentation";
    }
    s.sawKey = true;
    if (name == "endpoint" || name == "proxy") {
        const bool isEndpoint = name == "endpoint";
        int& first = isEndpoint ? s.endpointLine : s.proxyLine;
        if (first != 0) {
            return std::string(name) + ": given again (first on line " + std::to_string(first) +
                   ")";
        }
        first = s.line;
        std::string problem;
        if (isEndpoint) {
            problem = CheckEndpointUrl(value);
            s.settings.endpoint.assign(value);
        } else {
            problem = ParseProxy(value, s.settings.proxyHost, s.settings.proxyPort);
        }
        return problem.empty() ? problem : std::string(name) + ": " + problem;
    }
    // The end-of-line test's settings; their values are checked where they are used.
    if (name == "keys" || name == "results") {
        const bool isKeys = name == "keys";
        int& first = isKeys ? s.keysLine : s.resultsLine;
        if (first != 0) {
            return std::string(name) + ": given again (first on line " + std::to_string(first) +
                   ")";
        }
        first = s.line;
        (isKeys ? s.settings.testKeys : s.settings.results).assign(value);
        return {};
    }
    return "unknown key \"" + EscapeForDisplay(name) +
           "\" (the keys are endpoint, proxy, keys and results)";
}

int OnKey(void* user, const char* section, const char* name, const char* value) {
    auto& s = *static_cast<ParseState*>(user);
    try {
        std::string problem = CheckKey(s, section, name, value);
        if (!problem.empty()) {
            s.Record(std::move(problem));
            return 0;
        }
        return 1;
    } catch (...) {
        s.Record("out of memory");
        return 0;
    }
}

std::string_view LineAt(std::string_view text, int number) {
    std::size_t start = 0;
    for (int n = 1; n < number && start < text.size(); ++n) {
        const std::size_t newline = text.find('\n', start);
        start = newline == std::string_view::npos ? text.size() : newline + 1;
    }
    const std::string_view rest = text.substr(std::min(start, text.size()));
    return rest.substr(0, rest.find('\n'));
}

// inih reports only the line of a syntax error; say what is wrong with it.
std::string DescribeSyntaxError(std::string_view line) {
    while (!line.empty() && IsSpace(line.front())) {
        line.remove_prefix(1);
    }
    if (line.starts_with('[')) {
        return "section header without a closing ']'";
    }
    return "expected key = value";
}

std::string FileError(std::string_view path, std::string_view what) {
    return EscapeForDisplay(path) + ": " + std::string(what);
}

enum class ReadOutcome { Read, Absent, Failed };

// Only a missing file counts as absent; one that is there but cannot be read, or a
// link to nothing, is an error, so a slip never silently brings back the built-in
// endpoint. A FIFO in the file's place never hangs the start.
ReadOutcome ReadConfigFile(const std::string& path, std::string& text, std::string& error) {
    FileProblem problem;
    if (ReadSmallFile(path, kMaxFileBytes, &text, &problem)) {
        return ReadOutcome::Read;
    }
    if (problem.missing) {
        return ReadOutcome::Absent;
    }
    error = std::move(problem.message);
    return ReadOutcome::Failed;
}

}  // namespace

ServiceSettings::ServiceSettings() : endpoint(BuiltInEndpointUrl()) {}

ConfigEnvironment ConfigEnvironment::FromProcess() {
    ConfigEnvironment env;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) {
        env.xdgConfigHome = xdg;
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        env.home = home;
        return env;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        env.home = found->pw_dir;
    }
    return env;
}

std::vector<std::string> ConfigFileCandidates(const ConfigEnvironment& env) {
    std::vector<std::string> files;
    // The XDG rules: a relative or empty value is ignored in favour of ~/.config.
    if (env.xdgConfigHome && env.xdgConfigHome->starts_with('/')) {
        files.push_back(JoinPath(*env.xdgConfigHome, kFileTail));
    } else if (env.home && env.home->starts_with('/')) {
        files.push_back(JoinPath(JoinPath(*env.home, ".config"), kFileTail));
    }
    files.push_back(JoinPath(env.systemDir, kFileTail));
    return files;
}

ServiceConfig LoadServiceConfig(const ConfigEnvironment& env,
                                std::optional<std::string_view> endpointOverride) {
    ServiceConfig config;
    for (const std::string& path : ConfigFileCandidates(env)) {
        std::string text;
        const ReadOutcome outcome = ReadConfigFile(path, text, config.error);
        if (outcome == ReadOutcome::Failed) {
            return config;
        }
        if (outcome == ReadOutcome::Read) {
            config = ParseServiceConfig(text, path);
            break;
        }
    }
    if (config.ok() && endpointOverride) {
        if (std::string problem = CheckEndpointUrl(*endpointOverride); !problem.empty()) {
            config.error = "--endpoint: " + problem;
        } else {
            config.settings.endpoint.assign(*endpointOverride);
        }
    }
    return config;
}

std::string BuiltInEndpointHint(const ConfigEnvironment& env,
                                std::optional<std::string_view> endpointOverride) {
    const ServiceConfig config = LoadServiceConfig(env, endpointOverride);
    if (!config.ok() || config.settings.endpoint != BuiltInEndpointUrl())
        return {};
    std::string file = config.settings.source;
    if (file.empty())
        file = ConfigFileCandidates(env).front();
    const std::string shown = EscapeForDisplay(file);
    return "the endpoint " + config.settings.endpoint +
           " is the built-in one, which names no site's token service: write yours into " + shown +
           " as the line `endpoint = http://<host>/keluserandhardwareservice.asmx`";
}

ServiceConfig ParseServiceConfig(std::string_view text, std::string_view fileName) {
    WidenInihLines();
    ParseState state(text);
    const int rc = ini_parse_stream(&ReadLine, &state, &OnKey, &state);
    int line = state.errorLine;
    std::string what = std::move(state.error);
    if (rc > 0 && (line == 0 || rc < line)) {
        line = rc;
        what = DescribeSyntaxError(LineAt(text, rc));
    } else if (rc < 0 && line == 0) {
        what = "cannot be parsed (out of memory)";
    }
    ServiceConfig config;
    if (!what.empty()) {
        config.error = line > 0
                           ? FileError(std::string(fileName) + ":" + std::to_string(line), what)
                           : FileError(fileName, what);
        return config;
    }
    config.settings = std::move(state.settings);
    config.settings.source.assign(fileName);
    return config;
}

std::string CheckEndpointUrl(std::string_view url) {
    if (url.empty()) {
        return "empty value";
    }
    // The client escapes neither the query nor the fragment, and libcurl refuses a URL
    // with a space or control character in them: every call would fail as if the
    // network had. A control character elsewhere is a slip, not a path.
    const std::size_t tail = std::min(url.find_first_of("?#"), url.size());
    for (std::size_t i = 0; i < url.size(); ++i) {
        const auto byte = static_cast<unsigned char>(url[i]);
        if (byte < 0x20 || byte == 0x7F) {
            return "holds the control character " + EscapeForDisplay(url.substr(i, 1));
        }
        if (byte == ' ' && i >= tail) {
            return "holds a space after '?' or '#' (write it as %20)";
        }
    }
    // The client escapes the URL before it splits it; so does this check.
    std::string escaped;
    if (!EscapeUrl(url, escaped)) {
        return "longer than " + std::to_string(kMaxEscapedUrl) + " characters once escaped";
    }
    EndpointUrl endpoint;
    if (!SplitEndpointUrl(escaped, endpoint)) {
        return "not a usable URL (expected http://host[:port]/path)";
    }
    if (endpoint.scheme != URL_SCHEME_HTTP && endpoint.scheme != URL_SCHEME_HTTPS) {
        return "scheme \"" + EscapeForDisplay(endpoint.schemeName) + "\" is not http or https";
    }
    if (endpoint.hostName.empty()) {
        return "no host (expected http://host[:port]/path)";
    }
    if (!HostNameOk(endpoint.hostName)) {
        return std::string(kBadHost);
    }
    if (endpoint.port == 0) {
        return "port must be a number from 1 to 65535";
    }
    return {};
}

std::string ParseProxy(std::string_view value, std::string& host, std::uint16_t& port) {
    if (value.empty()) {
        return "empty value";
    }
    if (value.find("://") != std::string_view::npos) {
        return "give host:port, without a scheme";
    }
    std::size_t colon = std::string_view::npos;
    if (value.starts_with('[')) {
        const std::size_t close = value.find(']');
        if (close != std::string_view::npos && close + 1 < value.size() &&
            value[close + 1] == ':') {
            colon = close + 1;
        }
    } else {
        colon = value.rfind(':');
        if (colon != std::string_view::npos &&
            value.substr(0, colon).find(':') != std::string_view::npos) {
            return "expected host:port (an IPv6 address goes in brackets)";
        }
    }
    if (colon == std::string_view::npos || colon == 0) {
        return "expected host:port";
    }
    const std::string_view hostPart = value.substr(0, colon);
    const std::string_view portPart = value.substr(colon + 1);
    if (!HostNameOk(hostPart)) {
        return std::string(kBadHost);
    }
    std::uint32_t number = 0;
    bool digits = !portPart.empty() && portPart.size() <= 5;
    for (char c : portPart) {
        digits = digits && IsDigit(c);
        number = digits ? number * 10 + static_cast<std::uint32_t>(c - '0') : 0;
    }
    if (!digits || number == 0 || number > 65535) {
        return "port must be a number from 1 to 65535";
    }
    host.assign(hostPart);
    port = static_cast<std::uint16_t>(number);
    return {};
}

std::unique_ptr<CUserAndHardwareService> MakeServiceClient(const ServiceSettings& settings) {
    const bool proxyOk =
        settings.proxyHost.empty() || (HostNameOk(settings.proxyHost) && settings.proxyPort != 0);
    if (!proxyOk || !CheckEndpointUrl(settings.endpoint).empty()) {
        // An empty URL fails the client's split: it has no host, so every call fails
        // before a connection is opened. Nothing goes to a URL nobody meant.
        return std::make_unique<CUserAndHardwareService>(std::string_view{});
    }
    auto client = std::make_unique<CUserAndHardwareService>(settings.endpoint);
    const char* proxy = settings.proxyHost.empty() ? nullptr : settings.proxyHost.c_str();
    if (client->SetExplicitProxy(proxy, settings.proxyPort) != S_OK) {
        throw std::bad_alloc();  // a call without the proxy would bypass it
    }
    return client;
}
