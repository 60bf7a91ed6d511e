#pragma once

// SOAP 1.1 messages of the token service's one operation, ReviseEkey: the request
// body, the reply reader and the fault reader. Pure text in, text out; the HTTP side
// lives in http_transport.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/sax_reader.h"

inline constexpr std::string_view kSoapEnvelopeNamespace =
    "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";

// A reply may not make us hold more than this much text (UTF-8 bytes). Longer result
// text fails the read; longer fault texts are cut (the call fails either way).
inline constexpr std::size_t kMaxResultTextBytes = 256;
inline constexpr std::size_t kMaxFaultTextBytes = 4096;

// The call record of one call. The strings are borrowed, NUL-terminated, and may be
// null (written as nil elements).
struct ReviseEkeyParams {
    const char16_t* ekeysn = nullptr;
    const char16_t* ekeydp1 = nullptr;
    const char16_t* ekeydp2 = nullptr;
    std::int32_t ReviseEkeyResult = 0;
};

enum SoapFaultKind : std::int32_t {
    SOAP_FAULT_NONE = 0,
    SOAP_FAULT_VERSIONMISMATCH = 100,
    SOAP_FAULT_MUSTUNDERSTAND = 200,
    SOAP_FAULT_CLIENT = 300,
    SOAP_FAULT_SERVER = 400,
};

// What a status-500 reply said, for diagnosis only.
struct SoapFaultRecord {
    std::int32_t kind = SOAP_FAULT_NONE;
    std::u16string faultcode;
    std::u16string faultstring;
    std::u16string faultactor;
    std::u16string detail;

    void Clear();
};

// Appends the escaped value (up to its first NUL) as ASCII: &, <, > as entities,
// printable ASCII as is, everything else as a hexadecimal character reference.
// A character XML 1.0 does not allow (a control character other than tab, LF and
// CR, a lone surrogate, U+FFFE, U+FFFF) cannot be written even as a reference: then
// nothing is appended and the result is false (nothing, for the second form).
bool EscapeXmlText(std::u16string_view value, std::string& out);
std::optional<std::string> EscapeXmlText(std::u16string_view value);

// UTF-8 to UTF-16; a malformed sequence (or one cut by a cap) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Appends the complete request body. Returns S_OK, E_OUTOFMEMORY, or E_INVALIDARG
// (nothing appended) when a value holds a character that EscapeXmlText refuses.
std::int32_t WriteReviseEkeyRequest(const ReviseEkeyParams& params,
                                    std::string_view serviceNamespaceUri, std::string& requestBody);

// Reads a reply body. On S_OK the result is in params.ReviseEkeyResult. Otherwise:
// E_FAIL for a reply that breaks the reading rules, or the reader's / stream's code.
// The reader's content handler is restored afterwards.
std::int32_t ReadReviseEkeyResponse(ByteStream& body, ReviseEkeyParams& params, SaxReader& reader);

// Clears `fault` and reads a fault body into it as far as it goes. Returns S_OK or a
// negative code; the reader's content handler is restored afterwards.
std::int32_t ReadSoapFault(ByteStream& body, SaxReader& reader, SoapFaultRecord& fault);
