#include "service/http_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "service/status.h"

#ifndef QUILLON_SERVICE_ENDPOINT
#error "QUILLON_SERVICE_ENDPOINT must be defined by the build"
#endif
#ifndef QUILLON_SERVICE_NAMESPACE
#error "QUILLON_SERVICE_NAMESPACE must be defined by the build"
#endif

std::string_view BuiltInEndpointUrl() {
    return QUILLON_SERVICE_ENDPOINT;
}
std::string_view ServiceNamespaceUri() {
    return QUILLON_SERVICE_NAMESPACE;
}

namespace {

constexpr std::string_view kAgent = "VCSoapClient";
constexpr long kStatusFault = 500;

struct SchemeInfo {
    std::string_view name;
    std::uint16_t defaultPort;
};

constexpr std::array<SchemeInfo, 8> kSchemes = {{
    {"ftp", 21},
    {"gopher", 70},
    {"http", 80},
    {"https", 443},
    {"file", 0},
    {"news", 0},
    {"mailto", 0},
    {"socks", 1080},
}};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

bool KeptInUrl(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
        return true;
    }
    return std::string_view("!'()*-./:_~%").find(static_cast<char>(c)) != std::string_view::npos;
}

bool ParsePort(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > kMaxPortText) {
        return false;
    }
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) {
            return false;
        }
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool SplitInto(std::string_view url, EndpointUrl& ep) {
    if (url.size() > kMaxSplitUrl) {
        return false;
    }
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > kMaxSchemeName) {
        return false;
    }
    ep.schemeName.assign(url.substr(0, colon));
    for (std::size_t i = 0; i < kSchemes.size(); ++i) {
        if (EqualsNoCase(ep.schemeName, kSchemes[i].name)) {
            ep.scheme = static_cast<std::int32_t>(i);
        }
    }
    std::string_view rest = url.substr(colon + 1);
    const bool slashes = rest.starts_with("//");
    if (slashes) {
        rest.remove_prefix(2);
    }
    if (ep.scheme == URL_SCHEME_MAILTO && slashes) {
        return false;
    }
    if (ep.scheme == URL_SCHEME_FILE) {
        if (rest.size() > kMaxUrlPath) {
            return false;
        }
        ep.urlPath.assign(rest);
        return true;
    }

    const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view hostPort = rest.substr(0, authorityEnd);
    const std::string_view tail = rest.substr(authorityEnd);
    if (const std::size_t at = hostPort.find('@'); at != std::string_view::npos) {
        std::string_view user = hostPort.substr(0, at);
        std::string_view password;
        if (const std::size_t sep = user.find(':'); sep != std::string_view::npos) {
            password = user.substr(sep + 1);
            user = user.substr(0, sep);
        }
        if (user.size() > kMaxUserName || password.size() > kMaxPassword ||
            (user.empty() && !password.empty())) {
            return false;
        }
        ep.userName.assign(user);
        ep.password.assign(password);
        hostPort.remove_prefix(at + 1);
    }

    // A bracketed IPv6 literal keeps its colons.
    std::size_t portColon = std::string_view::npos;
    if (hostPort.starts_with('[')) {
        const std::size_t close = hostPort.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':') {
                return false;
            }
            portColon = close + 1;
        }
    } else {
        portColon = hostPort.find(':');
    }
    const std::string_view host = hostPort.substr(0, portColon);
    if (host.size() > kMaxHostName) {
        return false;
    }
    ep.hostName.assign(host);
    bool explicitPort = false;
    if (portColon != std::string_view::npos && portColon + 1 < hostPort.size()) {
        if (!ParsePort(hostPort.substr(portColon + 1), ep.port)) {
            return false;
        }
        explicitPort = true;
    }

    const std::size_t extra = std::min(tail.find_first_of("?#"), tail.size());
    if (extra > kMaxUrlPath || tail.size() - extra > kMaxExtraInfo) {
        return false;
    }
    ep.urlPath.assign(tail.substr(0, extra));
    ep.extraInfo.assign(tail.substr(extra));

    if (ep.scheme == URL_SCHEME_NEWS || ep.scheme == URL_SCHEME_MAILTO) {
        ep.port = 0;
    } else if (!explicitPort) {
        ep.port = ep.scheme >= 0 ? kSchemes[static_cast<std::size_t>(ep.scheme)].defaultPort : 0;
    }
    return true;
}

void ClearEndpoint(EndpointUrl& ep) {
    ep.schemeName.clear();
    ep.hostName.clear();
    ep.userName.clear();
    ep.password.clear();
    ep.urlPath.clear();
    ep.extraInfo.clear();
    ep.port = 0;
    ep.scheme = URL_SCHEME_UNKNOWN;
}

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool EscapeUrl(std::string_view url, std::string& escaped) {
    static constexpr char kHex[] = "0123456789abcdef";
    escaped.clear();
    // The host of "scheme://host/..." keeps the brackets of an IPv6 literal.
    std::size_t authority = std::string_view::npos;
    std::size_t authorityEnd = 0;
    if (const std::size_t mark = url.find("://");
        mark != std::string_view::npos &&
        url.substr(0, mark).find_first_of("/?#") == std::string_view::npos) {
        authority = mark + 3;
        authorityEnd = std::min(url.find_first_of("/?#", authority), url.size());
    }
    bool tail = false;
    for (std::size_t i = 0; i < url.size(); ++i) {
        const char c = url[i];
        tail = tail || c == '?' || c == '#';
        const auto byte = static_cast<unsigned char>(c);
        const bool bracket = (c == '[' || c == ']') && i >= authority && i < authorityEnd;
        if (tail || bracket || KeptInUrl(byte)) {
            escaped.push_back(c);
        } else {
            escaped.push_back('%');
            escaped.push_back(kHex[byte >> 4]);
            escaped.push_back(kHex[byte & 0xF]);
        }
        if (escaped.size() > kMaxEscapedUrl) {
            escaped.clear();
            return false;
        }
    }
    return true;
}

bool SplitEndpointUrl(std::string_view url, EndpointUrl& endpoint) {
    ClearEndpoint(endpoint);
    if (!SplitInto(url, endpoint)) {
        ClearEndpoint(endpoint);
        return false;
    }
    return true;
}

// The libcurl side of the client: one easy handle driven through a private multi
// handle. The multi handle's connection cache keeps the connection between calls, and
// curl_multi_poll + curl_multi_wakeup let Cancel() end a stalled transfer at once.
struct CUserAndHardwareService::Transfer {
    CURLM* multi = curl_multi_init();
    CURL* easy = nullptr;
    bool added = false;  // easy is attached to multi: a request is open
    curl_slist* headers = nullptr;
    std::atomic<bool> cancelled{false};
    const Timeouts limits;

    // State of the current request.
    bool headersDone = false;
    bool finished = false;
    CURLcode result = CURLE_OK;
    std::string pending;  // reply bytes received but not yet read
    std::size_t pendingOffset = 0;
    std::array<char, CURL_ERROR_SIZE> errorText{};
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline;  // of the current call
    bool underWay = false;
    std::uint64_t received = 0;  // header and body bytes of this request
    std::uint64_t receivedSeen = 0;
    std::uint64_t headerBytes = 0;
    std::uint64_t bodyBytes = 0;
    std::string overLimit;  // why a callback ended the transfer, "" while within limits
    Clock::time_point lastActivity;

    explicit Transfer(const Timeouts& timeouts) : limits(timeouts) {}
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        CloseRequest();
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
        curl_slist_free_all(headers);
    }

    void CloseRequest() {
        if (added) {
            curl_multi_remove_handle(multi, easy);
            added = false;
        }
        headersDone = finished = false;
        result = CURLE_OK;
        pending.clear();
        pendingOffset = 0;
        errorText[0] = '\0';
        underWay = false;
        received = receivedSeen = headerBytes = bodyBytes = 0;
        overLimit.clear();
    }

    bool HasPending() const { return pendingOffset < pending.size(); }

    std::string Describe() const {
        if (!overLimit.empty()) {
            return overLimit;
        }
        if (errorText[0] != '\0') {
            return errorText.data();
        }
        return curl_easy_strerror(result);
    }

    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        const std::size_t bytes = size * count;
        self->received += bytes;
        self->bodyBytes += bytes;
        if (self->bodyBytes > kMaxReplyBytes) {
            self->overLimit = "reply larger than " + std::to_string(kMaxReplyBytes) + " bytes";
            return 0;
        }
        try {
            if (!self->HasPending()) {
                self->pending.clear();
                self->pendingOffset = 0;
            }
            self->pending.append(data, bytes);
        } catch (const std::bad_alloc&) {
            return 0;  // libcurl ends the transfer with a write error
        }
        return bytes;
    }

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        const std::size_t bytes = size * count;
        self->received += bytes;
        self->headerBytes += bytes;
        if (self->headerBytes > kMaxReplyHeaderBytes) {
            self->overLimit =
                "reply headers larger than " + std::to_string(kMaxReplyHeaderBytes) + " bytes";
            return 0;
        }
        const std::string_view line(data, bytes);
        if (line == "\r\n" || line == "\n") {
            long status = 0;
            curl_easy_getinfo(self->easy, CURLINFO_RESPONSE_CODE, &status);
            // An interim 1xx reply is followed by the real one.
            if (status == 0 || status >= 200) {
                self->headersDone = true;
            }
        }
        return bytes;
    }

    // Drives the transfer until `done()` holds or it finishes. Fails on cancel, once
    // the call's deadline has passed, and when no byte has come in for the stall time
    // since the request got under way (before that, libcurl's connect time-out).
    template <typename Done>
    std::int32_t Pump(Done done, std::string& error) {
        for (;;) {
            if (cancelled.load(std::memory_order_acquire)) {
                error = "cancelled";
                return E_FAIL;
            }
            const auto untilDeadline = deadline - Clock::now();
            if (untilDeadline <= Clock::duration::zero()) {
                error =
                    "call deadline of " + std::to_string(limits.deadline.count()) + " ms passed";
                return E_FAIL;
            }
            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                error = "transfer engine failed";
                return E_FAIL;
            }
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                    finished = true;
                    result = msg->data.result;
                }
            }
            if (done() || finished) {
                return S_OK;
            }
            // Rounded up, so the deadline check above finds it passed after the wait.
            int waitMs = static_cast<int>(std::min<std::int64_t>(
                1000, std::chrono::ceil<std::chrono::milliseconds>(untilDeadline).count()));
            if (RequestUnderWay()) {
                const auto now = Clock::now();
                if (received != receivedSeen) {
                    receivedSeen = received;
                    lastActivity = now;
                }
                const auto left = limits.stall - (now - lastActivity);
                if (left <= Clock::duration::zero()) {
                    error = "no reply byte for " + std::to_string(limits.stall.count()) + " ms";
                    return E_FAIL;
                }
                waitMs = static_cast<int>(std::min<std::int64_t>(
                    waitMs, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
            }
            // libcurl shortens the wait to its own timers; Cancel() wakes it.
            if (curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK) {
                error = "transfer engine failed";
                return E_FAIL;
            }
        }
    }

    // True once connected and sending (new or reused connection alike).
    bool RequestUnderWay() {
        if (!underWay) {
            curl_off_t pretransfer = 0;
            if (curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) == CURLE_OK &&
                pretransfer > 0) {
                underWay = true;
                lastActivity = Clock::now();
            }
        }
        return underWay;
    }
};

// The reply body as a pull stream: each read drives the transfer until bytes arrive.
class CUserAndHardwareService::ResponseStream : public ByteStream {
public:
    ResponseStream(Transfer& transfer, std::string& error) : m_transfer(transfer), m_error(error) {}

    std::int32_t Read(char* buffer, std::size_t capacity, std::size_t* bytesRead) override {
        *bytesRead = 0;
        for (;;) {
            Transfer& t = m_transfer;
            if (t.HasPending()) {
                const std::size_t n = std::min(capacity, t.pending.size() - t.pendingOffset);
                std::memcpy(buffer, t.pending.data() + t.pendingOffset, n);
                t.pendingOffset += n;
                *bytesRead = n;
                return S_OK;
            }
            if (t.finished) {
                if (t.result != CURLE_OK) {
                    m_error = "reading the reply failed: " + t.Describe();
                    return E_FAIL;
                }
                return S_OK;
            }
            const std::int32_t rc = t.Pump([&t] { return t.HasPending(); }, m_error);
            if (rc < 0) {
                return rc;
            }
        }
    }

private:
    Transfer& m_transfer;
    std::string& m_error;
};

CUserAndHardwareService::CUserAndHardwareService()
    : CUserAndHardwareService(BuiltInEndpointUrl()) {}

CUserAndHardwareService::CUserAndHardwareService(std::string_view endpointUrl)
    : CUserAndHardwareService(endpointUrl, Timeouts{}) {}

CUserAndHardwareService::CUserAndHardwareService(std::string_view endpointUrl,
                                                 const Timeouts& timeouts) {
    InitCurlOnce();
    m_transfer = std::make_unique<Transfer>(timeouts);
    std::string escaped;
    if (!EscapeUrl(endpointUrl, escaped)) {
        m_endpoint.hostName.clear();
        return;
    }
    if (!SplitEndpointUrl(escaped, m_endpoint)) {
        return;
    }
    if (SetExplicitProxy(nullptr, 80) == S_OK) {
        m_targetPath = m_endpoint.urlPath + m_endpoint.extraInfo;
    }
}

CUserAndHardwareService::~CUserAndHardwareService() = default;

const CUserAndHardwareService::Timeouts& CUserAndHardwareService::Limits() const {
    return m_transfer->limits;
}

void CUserAndHardwareService::Cancel() {
    m_transfer->cancelled.store(true, std::memory_order_release);
    if (m_transfer->multi != nullptr) {
        curl_multi_wakeup(m_transfer->multi);
    }
}

std::int32_t CUserAndHardwareService::SetExplicitProxy(const char* host, std::uint16_t port) {
    try {
        if (host == nullptr || *host == '\0') {
            m_proxy.clear();
            return S_OK;
        }
        const std::string hostPort = std::string(host) + ":" + std::to_string(port);
        m_proxy = "http=http://" + hostPort + " https=http://" + hostPort;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

std::int32_t CUserAndHardwareService::Fail(std::int32_t code, std::string what) {
    m_lastError = std::move(what);
    return code;
}

std::int32_t CUserAndHardwareService::OpenConnection() {
    Transfer& t = *m_transfer;
    if (t.easy != nullptr) {
        return S_OK;
    }
    if (t.multi == nullptr || m_endpoint.hostName.empty()) {
        return Fail(E_FAIL, "no usable endpoint");
    }
    const bool secure = m_endpoint.scheme == URL_SCHEME_HTTPS;
    std::uint16_t port = m_endpoint.port;
    if (port == 0) {
        port = secure ? 443 : 80;
    }
    const bool ipv6 =
        m_endpoint.hostName.find(':') != std::string::npos && !m_endpoint.hostName.starts_with('[');
    const std::string host = ipv6 ? "[" + m_endpoint.hostName + "]" : m_endpoint.hostName;
    // An endpoint without a path asks for the root, as a browser would. A fragment
    // stays with the client, as HTTP requires.
    std::string target = m_targetPath.substr(0, m_targetPath.find('#'));
    if (!target.starts_with('/')) {
        target.insert(0, "/");
    }
    const std::string url =
        std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port) + target;

    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        return Fail(E_FAIL, "cannot create a transfer");
    }
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    // The path goes out as configured: libcurl would collapse "." and ".." segments.
    ok = ok && curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
    ok =
        ok && curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_0}) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_USERAGENT, kAgent.data()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                                static_cast<long>(t.limits.connect.count())) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t.errorText.data()) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_HEADERDATA, &t) == CURLE_OK;
    ok = ok && curl_easy_setopt(easy, CURLOPT_POST, 1L) == CURLE_OK;
    if (ok && !m_proxy.empty()) {
        // "http=http://host:port https=..." names one proxy for both schemes.
        const std::size_t start = m_proxy.find("http://");
        const std::string proxy = m_proxy.substr(start, m_proxy.find(' ') - start);
        ok = curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str()) == CURLE_OK;
    }
    if (!ok) {
        curl_easy_cleanup(easy);
        return Fail(E_FAIL, "cannot set up the transfer");
    }
    t.easy = easy;
    return S_OK;
}

void CUserAndHardwareService::ResetForCall() {
    m_requestBody.clear();
    m_transfer->CloseRequest();
    m_fault.Clear();
    m_lastError.clear();
}

std::int32_t CUserAndHardwareService::PostRequest() {
    if (OpenConnection() < 0) {
        return E_FAIL;
    }
    Transfer& t = *m_transfer;
    try {
        // Header order on the wire: Host and User-Agent from libcurl, then these in
        // this order. An empty "Expect:" keeps libcurl from adding one.
        const std::string action =
            "SOAPAction: \"" + std::string(ServiceNamespaceUri()) + "ReviseEkey\"";
        const std::string length = "Content-Length: " + std::to_string(m_requestBody.size());
        curl_slist_free_all(t.headers);
        t.headers = nullptr;
        for (const char* line :
             {"Accept: text/*", length.c_str(), "Connection: Keep-Alive", action.c_str(),
              "Content-Type: text/xml; charset=utf-8", "Expect:"}) {
            curl_slist* next = curl_slist_append(t.headers, line);
            if (next == nullptr) {
                return Fail(E_OUTOFMEMORY, "out of memory");
            }
            t.headers = next;
        }
    } catch (const std::bad_alloc&) {
        return Fail(E_OUTOFMEMORY, "out of memory");
    }
    const bool ok =
        curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headers) == CURLE_OK &&
        curl_easy_setopt(t.easy, CURLOPT_POSTFIELDS, m_requestBody.data()) == CURLE_OK &&
        curl_easy_setopt(t.easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(m_requestBody.size())) == CURLE_OK;
    if (!ok || curl_multi_add_handle(t.multi, t.easy) != CURLM_OK) {
        return Fail(E_FAIL, "cannot open the request");
    }
    t.added = true;

    const std::int32_t rc = t.Pump([&t] { return t.headersDone; }, m_lastError);
    if (rc < 0) {
        return rc;
    }
    if (!t.headersDone) {
        return Fail(E_FAIL, t.overLimit.empty() ? "sending the request failed: " + t.Describe()
                                                : t.overLimit);
    }

    long status = 0;
    if (curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
        status = 0;
    }
    if (status != kStatusFault) {
        return S_OK;
    }
    ResponseStream stream(t, m_lastError);
    const std::int32_t faultRc = ReadSoapFault(stream, m_xmlReader, m_fault);
    if (m_lastError.empty()) {
        m_lastError = faultRc < 0 ? "status 500 with a fault that " + DescribeSaxResult(faultRc)
                                  : "status 500 (SOAP fault)";
    }
    return E_FAIL;
}

std::int32_t CUserAndHardwareService::ReviseEkey(const char16_t* ekeysn, const char16_t* ekeydp1,
                                                 const char16_t* ekeydp2, std::int32_t* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    try {
        return Call(ekeysn, ekeydp1, ekeydp2, *result);
    } catch (const std::bad_alloc&) {
        m_lastError.clear();
        return E_OUTOFMEMORY;
    }
}

std::int32_t CUserAndHardwareService::Call(const char16_t* ekeysn, const char16_t* ekeydp1,
                                           const char16_t* ekeydp2, std::int32_t& result) {
    ResetForCall();
    m_transfer->deadline = Transfer::Clock::now() + m_transfer->limits.deadline;
    if (m_transfer->cancelled.load(std::memory_order_acquire)) {
        return Fail(E_FAIL, "cancelled");
    }
    ReviseEkeyParams params;
    params.ekeysn = ekeysn;
    params.ekeydp1 = ekeydp1;
    params.ekeydp2 = ekeydp2;

    std::int32_t rc = WriteReviseEkeyRequest(params, ServiceNamespaceUri(), m_requestBody);
    if (rc == E_INVALIDARG) {
        return Fail(rc, "a value holds a character XML 1.0 does not allow; nothing was sent");
    }
    if (rc < 0) {
        return Fail(rc, "out of memory");
    }
    rc = PostRequest();
    if (rc < 0) {
        return rc;
    }
    ResponseStream stream(*m_transfer, m_lastError);
    rc = ReadReviseEkeyResponse(stream, params, m_xmlReader);
    if (rc < 0) {
        if (m_lastError.empty()) {
            m_lastError = "reply " + DescribeSaxResult(rc);
        }
        return rc;
    }
    result = params.ReviseEkeyResult;
    return S_OK;
}
