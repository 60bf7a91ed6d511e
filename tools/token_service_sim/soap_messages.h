#pragma once

// SOAP 1.1 messages of the simulator: reading a ReviseEkey request (expat, namespace
// aware, no DOCTYPE), writing the reply, a Fault and the WSDL. Text in, text out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::tokensim {

inline constexpr std::string_view kSoapEnvelopeNs = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kXsiNs = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr std::string_view kXsdNs = "http://www.w3.org/2001/XMLSchema";
inline constexpr std::string_view kServicePath = "/keluserandhardwareservice.asmx";
inline constexpr std::string_view kOperation = "ReviseEkey";

// Requests larger than this are refused before they are parsed.
inline constexpr std::size_t kMaxRequestBytes = 64 * 1024;

struct ReviseEkeyRequest {
    // Absent and nil elements both read as nullopt.
    std::optional<std::string> ekeysn;
    std::optional<std::string> ekeydp1;
    std::optional<std::string> ekeydp2;
};

struct SoapFault {
    // Local part of the fault code in the envelope namespace: "Client", "Server",
    // "VersionMismatch" or "MustUnderstand".
    std::string code;
    std::string message;
};

// Reads a request body. Returns nullopt and fills `fault` when the body is not a SOAP
// 1.1 envelope carrying one ReviseEkey in `serviceNs`.
std::optional<ReviseEkeyRequest> ParseReviseEkeyRequest(std::string_view body,
                                                        std::string_view serviceNs,
                                                        SoapFault& fault);

// True when a SOAPAction header value names ReviseEkey in `serviceNs`. The value may be
// quoted, as SOAP 1.1 asks, or bare.
bool SoapActionMatches(std::string_view header, std::string_view serviceNs);

// A namespace URI we can write verbatim into attributes and header lines.
bool IsUsableNamespace(std::string_view uri);

std::string EscapeXml(std::string_view text);

std::string ReviseEkeyResponseXml(std::string_view serviceNs, std::int32_t result);
std::string SoapFaultXml(const SoapFault& fault);
// `location` is the service's absolute URL for the soap:address of the WSDL.
std::string ServiceWsdl(std::string_view serviceNs, std::string_view location);

}  // namespace quillon::tokensim
