#include "service/revise_ekey_messages.h"

#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "service/status.h"

namespace {

constexpr std::string_view kEnvelopeStartTag =
    "<soap:Envelope"
    " xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
    " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";
static_assert(kEnvelopeStartTag.size() == 227);

constexpr std::string_view kOperation = "ReviseEkey";
constexpr std::string_view kResultElement = "ReviseEkeyResult";

void AppendHex(std::string& out, std::uint32_t value, int digits) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.append("&#x");
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kHex[(value >> shift) & 0xF]);
    }
    out.push_back(';');
}

bool AppendElement(std::string& out, std::string_view name, const char16_t* value) {
    out.push_back('<');
    out.append(name);
    if (value == nullptr) {
        out.append(" xsi:nil=\"1\"/>");
        return true;
    }
    out.push_back('>');
    if (!EscapeXmlText(value, out)) {
        return false;
    }
    out.append("</");
    out.append(name);
    out.push_back('>');
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Base-10 with optional leading blanks and one sign; nothing may follow the digits.
bool ParseResultText(std::string_view text, std::int32_t& out) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t firstDigit = i;
    std::int64_t magnitude = 0;
    constexpr std::int64_t kLimit = std::int64_t{1} << 31;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        // Saturate past the range so long digit strings cannot overflow.
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (text[i] - '0');
        }
        ++i;
    }
    if (i == firstDigit || i != text.size()) {
        return false;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < -kLimit || value > kLimit - 1) {
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

void AppendCapped(std::string& out, std::string_view text, std::size_t cap) {
    if (out.size() < cap) {
        out.append(text.substr(0, cap - out.size()));
    }
}

// Restores the reader's previous content handler when a read ends, however it ends.
class HandlerScope {
public:
    HandlerScope(SaxReader& reader, SaxContentHandler* handler)
        : m_reader(reader), m_previous(reader.ContentHandler()) {
        reader.SetContentHandler(handler);
    }
    ~HandlerScope() { m_reader.SetContentHandler(m_previous); }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

private:
    SaxReader& m_reader;
    SaxContentHandler* m_previous;
};

enum class ParseState {
    ParseStart,
    ParseEnvelope,
    ParseHeader,
    ParseHeaderDone,
    ParseBody,
    ParseResponse
};

// The reading state of one reply. Levels: the message level until the reply wrapper
// starts, then the wrapper level, with the result level on top while the result
// element is open.
class ReplyHandler : public SaxContentHandler {
public:
    explicit ReplyHandler(ReviseEkeyParams& params) : m_params(params) {}

    bool WrapperSeen() const { return m_wrapperSeen; }

    std::int32_t StartElement(std::string_view uri, std::string_view localName, std::string_view,
                              std::span<const SaxAttribute> attributes) override {
        if (m_skipDepth > 0) {
            ++m_skipDepth;
            return S_OK;
        }
        if (m_leafOpen || m_textPending) {
            return E_FAIL;
        }
        switch (m_state) {
            case ParseState::ParseStart:
            case ParseState::ParseEnvelope:
            case ParseState::ParseHeaderDone:
                return StartSoapElement(uri, localName);
            case ParseState::ParseHeader:
                return StartHeaderEntry(attributes);
            case ParseState::ParseBody:
                m_level = Level::Wrapper;
                m_wrapperSeen = true;
                m_state = ParseState::ParseResponse;
                return S_OK;
            case ParseState::ParseResponse:
                return StartResult(localName, attributes);
        }
        return E_FAIL;
    }

    std::int32_t EndElement(std::string_view uri, std::string_view localName,
                            std::string_view) override {
        if (m_skipDepth > 0) {
            --m_skipDepth;
            return S_OK;
        }
        if (m_textPending) {
            return E_FAIL;
        }
        m_leafOpen = false;
        if (m_state == ParseState::ParseHeader && m_level == Level::Message) {
            if (uri != kSoapEnvelopeNamespace || localName != "Header") {
                return E_FAIL;
            }
            m_state = ParseState::ParseHeaderDone;
        } else if (m_resultOpen) {
            m_resultOpen = false;
            if (!ParseResultText(m_resultText, m_params.ReviseEkeyResult)) {
                return E_FAIL;
            }
        } else if (m_level == Level::Wrapper) {
            if (!m_resultSeen) {
                return E_FAIL;
            }
            m_level = Level::Closed;
        }
        return S_OK;
    }

    std::int32_t Characters(std::string_view text) override {
        if (m_skipDepth > 0) {
            return S_OK;
        }
        m_textPending = false;
        if (m_resultOpen) {
            // A network chunk can split the number, so the pieces are joined and read
            // once at the element's end.
            if (m_resultText.size() + text.size() > kMaxResultTextBytes) {
                return E_FAIL;
            }
            m_resultText.append(text);
        }
        return S_OK;
    }

private:
    enum class Level { Message, Wrapper, Closed };

    std::int32_t StartSoapElement(std::string_view uri, std::string_view localName) {
        if (uri != kSoapEnvelopeNamespace) {
            return E_FAIL;
        }
        if (localName == "Envelope") {
            if (m_state != ParseState::ParseStart) {
                return E_FAIL;
            }
            m_state = ParseState::ParseEnvelope;
        } else if (localName == "Header") {
            if (m_state != ParseState::ParseEnvelope) {
                return E_FAIL;
            }
            m_state = ParseState::ParseHeader;
        } else if (localName == "Body") {
            if (m_state != ParseState::ParseEnvelope && m_state != ParseState::ParseHeaderDone) {
                return E_FAIL;
            }
            m_state = ParseState::ParseBody;
        }
        return S_OK;
    }

    std::int32_t StartHeaderEntry(std::span<const SaxAttribute> attributes) {
        for (const SaxAttribute& attr : attributes) {
            if (attr.uri == kSoapEnvelopeNamespace && attr.localName == "mustUnderstand") {
                if (attr.value != "0" && attr.value != "false") {
                    return E_FAIL;
                }
            }
        }
        m_skipDepth = 1;
        return S_OK;
    }

    std::int32_t StartResult(std::string_view localName, std::span<const SaxAttribute> attributes) {
        if (localName != kResultElement || m_resultSeen) {
            return E_FAIL;
        }
        for (const SaxAttribute& attr : attributes) {
            if (attr.uri == kXsiNamespace && attr.localName == "nil" &&
                (attr.value == "1" || attr.value == "true")) {
                return E_FAIL;
            }
        }
        m_resultSeen = m_leafOpen = m_textPending = m_resultOpen = true;
        m_resultText.clear();
        return S_OK;
    }

    ReviseEkeyParams& m_params;
    ParseState m_state = ParseState::ParseStart;
    Level m_level = Level::Message;
    bool m_resultOpen = false;  // the result level
    bool m_leafOpen = false;
    bool m_textPending = false;
    bool m_resultSeen = false;
    bool m_wrapperSeen = false;
    int m_skipDepth = 0;  // inside a header entry that is passed over
    std::string m_resultText;
};

class FaultHandler : public SaxContentHandler {
public:
    explicit FaultHandler(SoapFaultRecord& fault) : m_fault(fault) {}

    std::int32_t StartPrefixMapping(std::string_view prefix, std::string_view uri) override {
        m_prefixes.emplace_back(prefix, uri);
        return S_OK;
    }

    std::int32_t EndPrefixMapping(std::string_view prefix) override {
        for (auto it = m_prefixes.rbegin(); it != m_prefixes.rend(); ++it) {
            if (it->first == prefix) {
                m_prefixes.erase(std::next(it).base());
                break;
            }
        }
        return S_OK;
    }

    std::int32_t StartElement(std::string_view uri, std::string_view localName, std::string_view,
                              std::span<const SaxAttribute>) override {
        // Inside a field, and in elements passed over, everything nested is skipped.
        if (m_skipDepth > 0 || m_field != Field::None) {
            ++m_skipDepth;
            return S_OK;
        }
        if (m_rank == 3) {
            const Field field = FieldOf(localName);
            if (field != Field::None) {
                m_field = field;
                m_fieldSeen = true;
                m_text.clear();
                return S_OK;
            }
        }
        const int rank = uri == kSoapEnvelopeNamespace ? RankOf(localName) : 0;
        if (rank > m_rank) {
            m_rank = rank;
            return S_OK;
        }
        if (m_fieldSeen) {
            m_skipDepth = 1;
            return S_OK;
        }
        return E_FAIL;
    }

    std::int32_t EndElement(std::string_view, std::string_view, std::string_view) override {
        if (m_skipDepth > 0) {
            --m_skipDepth;
            return S_OK;
        }
        if (m_field == Field::None) {
            return S_OK;
        }
        const Field field = std::exchange(m_field, Field::None);
        std::u16string* target = &m_fault.detail;
        switch (field) {
            case Field::Code:
                target = &m_fault.faultcode;
                break;
            case Field::String:
                target = &m_fault.faultstring;
                break;
            case Field::Actor:
                target = &m_fault.faultactor;
                break;
            case Field::Detail:
            case Field::None:
                break;
        }
        target->clear();
        target->append(Utf8ToUtf16(m_text));
        return field == Field::Code ? ResolveFaultCode() : S_OK;
    }

    std::int32_t Characters(std::string_view text) override {
        if (m_skipDepth == 0 && m_field != Field::None) {
            AppendCapped(m_text, text, kMaxFaultTextBytes);
        }
        return S_OK;
    }

private:
    enum class Field { None, Code, String, Actor, Detail };

    static Field FieldOf(std::string_view localName) {
        if (localName == "faultcode") {
            return Field::Code;
        }
        if (localName == "faultstring") {
            return Field::String;
        }
        if (localName == "faultactor") {
            return Field::Actor;
        }
        if (localName == "detail") {
            return Field::Detail;
        }
        return Field::None;
    }

    static int RankOf(std::string_view localName) {
        if (localName == "Envelope") {
            return 1;
        }
        if (localName == "Header" || localName == "Body") {
            return 2;
        }
        if (localName == "Fault") {
            return 3;
        }
        return 0;
    }

    // faultcode is a QName; its prefix (none: the default namespace) must be bound to
    // the envelope namespace where it is used.
    std::int32_t ResolveFaultCode() {
        std::string_view qname = m_text;
        while (!qname.empty() && IsBlank(qname.front())) {
            qname.remove_prefix(1);
        }
        while (!qname.empty() && IsBlank(qname.back())) {
            qname.remove_suffix(1);
        }
        std::string_view prefix;
        std::string_view local = qname;
        if (const std::size_t colon = qname.find(':'); colon != std::string_view::npos) {
            prefix = qname.substr(0, colon);
            local = qname.substr(colon + 1);
        }
        const std::string* bound = nullptr;
        for (auto it = m_prefixes.rbegin(); it != m_prefixes.rend(); ++it) {
            if (it->first == prefix) {
                bound = &it->second;
                break;
            }
        }
        if (bound == nullptr || *bound != kSoapEnvelopeNamespace) {
            return E_FAIL;
        }
        if (local == "VersionMismatch") {
            m_fault.kind = SOAP_FAULT_VERSIONMISMATCH;
        } else if (local == "MustUnderstand") {
            m_fault.kind = SOAP_FAULT_MUSTUNDERSTAND;
        } else if (local == "Client") {
            m_fault.kind = SOAP_FAULT_CLIENT;
        } else if (local == "Server") {
            m_fault.kind = SOAP_FAULT_SERVER;
        }
        return S_OK;
    }

    SoapFaultRecord& m_fault;
    int m_rank = 0;
    bool m_fieldSeen = false;
    Field m_field = Field::None;
    int m_skipDepth = 0;
    std::string m_text;
    std::vector<std::pair<std::string, std::string>> m_prefixes;
};

}  // namespace

void SoapFaultRecord::Clear() {
    kind = SOAP_FAULT_NONE;
    faultcode.clear();
    faultstring.clear();
    faultactor.clear();
    detail.clear();
}

namespace {

// XML 1.0's Char production.
bool IsXmlChar(std::uint32_t cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
           (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

}  // namespace

bool EscapeXmlText(std::u16string_view value, std::string& out) {
    if (const std::size_t nul = value.find(u'\0'); nul != std::u16string_view::npos) {
        value = value.substr(0, nul);
    }
    const std::size_t before = out.size();
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char16_t unit = value[i];
        std::uint32_t cp = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 &&
            value[i + 1] <= 0xDFFF) {
            cp = 0x10000u + ((static_cast<std::uint32_t>(unit) - 0xD800u) << 10) +
                 (static_cast<std::uint32_t>(value[i + 1]) - 0xDC00u);
            ++i;
        }
        // Not even as a character reference: the reader at the other end rejects the
        // whole body.
        if (!IsXmlChar(cp)) {
            out.resize(before);
            return false;
        }
        if (cp == u'&') {
            out.append("&amp;");
        } else if (cp == u'<') {
            out.append("&lt;");
        } else if (cp == u'>') {
            out.append("&gt;");
        } else if (cp >= 0x20 && cp <= 0x7E) {
            out.push_back(static_cast<char>(cp));
        } else {
            AppendHex(out, cp, cp >= 0x10000 ? 6 : 4);
        }
    }
    return true;
}

std::optional<std::string> EscapeXmlText(std::u16string_view value) {
    std::string out;
    if (!EscapeXmlText(value, out)) {
        return std::nullopt;
    }
    return out;
}

std::int32_t WriteReviseEkeyRequest(const ReviseEkeyParams& params,
                                    std::string_view serviceNamespaceUri,
                                    std::string& requestBody) {
    const std::size_t before = requestBody.size();
    try {
        requestBody.append(kEnvelopeStartTag);
        requestBody.append("<soap:Body>");
        requestBody.append("<");
        requestBody.append(kOperation);
        requestBody.append(" xmlns=\"");
        requestBody.append(serviceNamespaceUri);
        requestBody.append("\">");
        if (!AppendElement(requestBody, "ekeysn", params.ekeysn) ||
            !AppendElement(requestBody, "ekeydp1", params.ekeydp1) ||
            !AppendElement(requestBody, "ekeydp2", params.ekeydp2)) {
            requestBody.resize(before);
            return E_INVALIDARG;
        }
        requestBody.append("</");
        requestBody.append(kOperation);
        requestBody.append(">");
        requestBody.append("</soap:Body>");
        requestBody.append("</soap:Envelope>");
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

std::int32_t ReadReviseEkeyResponse(ByteStream& body, ReviseEkeyParams& params, SaxReader& reader) {
    params.ReviseEkeyResult = 0;
    ReplyHandler handler(params);
    HandlerScope scope(reader, &handler);
    const std::int32_t rc = reader.Parse(body);
    if (rc < 0) {
        return rc;
    }
    // A document without anything in its Body, or without a Body, is no reply.
    return handler.WrapperSeen() ? S_OK : E_FAIL;
}

std::int32_t ReadSoapFault(ByteStream& body, SaxReader& reader, SoapFaultRecord& fault) {
    fault.Clear();
    FaultHandler handler(fault);
    HandlerScope scope(reader, &handler);
    return reader.Parse(body);
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            char32_t v = b & (0x7Fu >> len);
            bool ok = i + len <= s.size();
            for (std::size_t k = 1; ok && k < len; ++k) {
                const auto c = static_cast<unsigned char>(s[i + k]);
                if ((c & 0xC0) != 0x80) {
                    ok = false;
                } else {
                    v = (v << 6) | (c & 0x3Fu);
                }
            }
            static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            if (!ok || v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
                len = 1;
            } else {
                cp = v;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}
