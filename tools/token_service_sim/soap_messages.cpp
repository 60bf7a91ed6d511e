#include "tools/token_service_sim/soap_messages.h"

#include <expat.h>

#include <memory>
#include <vector>

namespace quillon::tokensim {

namespace {

// Expat joins namespace URI and local name with this; a newline cannot survive
// attribute-value normalisation, so no namespace URI contains one.
constexpr char kNsSeparator = '\n';

struct ExpandedName {
    std::string_view ns;
    std::string_view local;
};

ExpandedName Split(const XML_Char* name) {
    const std::string_view full(name);
    const std::size_t sep = full.find(kNsSeparator);
    if (sep == std::string_view::npos) {
        return {{}, full};
    }
    return {full.substr(0, sep), full.substr(sep + 1)};
}

bool IsXmlWhitespace(std::string_view text) {
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return false;
        }
    }
    return true;
}

std::optional<std::string_view> FindAttribute(const XML_Char** attrs, std::string_view ns,
                                              std::string_view local) {
    for (std::size_t i = 0; attrs[i] != nullptr; i += 2) {
        const ExpandedName name = Split(attrs[i]);
        if (name.ns == ns && name.local == local) {
            return std::string_view(attrs[i + 1]);
        }
    }
    return std::nullopt;
}

bool IsTrue(std::string_view value) {
    return value == "1" || value == "true";
}

class RequestReader {
public:
    RequestReader(XML_Parser parser, std::string_view serviceNs)
        : m_parser(parser), m_serviceNs(serviceNs) {}

    static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char** attrs) {
        static_cast<RequestReader*>(self)->Start(Split(name), attrs);
    }
    static void XMLCALL OnEnd(void* self, const XML_Char* /*name*/) {
        static_cast<RequestReader*>(self)->End();
    }
    static void XMLCALL OnText(void* self, const XML_Char* text, int length) {
        static_cast<RequestReader*>(self)->Text(
            std::string_view(text, static_cast<std::size_t>(length)));
    }
    static void XMLCALL OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*,
                                  int) {
        // A DOCTYPE is where entity bombs and external entities live; SOAP forbids it.
        static_cast<RequestReader*>(self)->Fail("Client", "a DOCTYPE is not allowed in SOAP");
    }

    void Fail(std::string code, std::string message) {
        if (!m_failed) {
            m_failed = true;
            m_fault = {std::move(code), std::move(message)};
            XML_StopParser(m_parser, XML_FALSE);
        }
    }

    bool failed() const { return m_failed; }
    const SoapFault& fault() const { return m_fault; }
    const ReviseEkeyRequest& request() const { return m_request; }
    bool operationSeen() const { return m_operationSeen; }

private:
    enum class Level { Envelope, Header, HeaderEntry, Body, Operation, Field, Skipped };

    void Start(ExpandedName name, const XML_Char** attrs) {
        if (m_failed) {
            return;
        }
        if (m_levels.empty()) {
            if (name.local != "Envelope") {
                return Fail("Client", "the root element is not a SOAP Envelope");
            }
            if (name.ns != kSoapEnvelopeNs) {
                return Fail("VersionMismatch", "the Envelope is not in the SOAP 1.1 namespace");
            }
            m_levels.push_back(Level::Envelope);
            return;
        }
        switch (m_levels.back()) {
            case Level::Envelope:
                if (name.ns == kSoapEnvelopeNs && name.local == "Header" && !m_headerSeen &&
                    !m_bodySeen) {
                    m_headerSeen = true;
                    m_levels.push_back(Level::Header);
                } else if (name.ns == kSoapEnvelopeNs && name.local == "Body" && !m_bodySeen) {
                    m_bodySeen = true;
                    m_levels.push_back(Level::Body);
                } else {
                    Fail("Client",
                         "unexpected element " + std::string(name.local) + " in the Envelope");
                }
                return;
            case Level::Header: {
                const auto mustUnderstand = FindAttribute(attrs, kSoapEnvelopeNs, "mustUnderstand");
                if (mustUnderstand && *mustUnderstand != "0" && *mustUnderstand != "false") {
                    return Fail("MustUnderstand",
                                "header " + std::string(name.local) + " is not understood");
                }
                m_levels.push_back(Level::HeaderEntry);
                return;
            }
            case Level::HeaderEntry:
            case Level::Skipped:
                m_levels.push_back(Level::Skipped);
                return;
            case Level::Body:
                if (m_operationSeen) {
                    return Fail("Client", "the Body holds more than one element");
                }
                if (name.ns != m_serviceNs || name.local != kOperation) {
                    return Fail("Client", "unknown operation {" + std::string(name.ns) + "}" +
                                              std::string(name.local));
                }
                m_operationSeen = true;
                m_levels.push_back(Level::Operation);
                return;
            case Level::Operation: {
                std::optional<std::string>* field = nullptr;
                if (name.ns == m_serviceNs) {
                    if (name.local == "ekeysn") {
                        field = &m_request.ekeysn;
                    } else if (name.local == "ekeydp1") {
                        field = &m_request.ekeydp1;
                    } else if (name.local == "ekeydp2") {
                        field = &m_request.ekeydp2;
                    }
                }
                if (field == nullptr) {
                    return Fail("Client", "unexpected element {" + std::string(name.ns) + "}" +
                                              std::string(name.local) + " in ReviseEkey");
                }
                const std::string fieldName(name.local);
                for (const auto& seen : m_fieldsSeen) {
                    if (seen == fieldName) {
                        return Fail("Client", fieldName + " appears twice");
                    }
                }
                m_fieldsSeen.push_back(fieldName);
                const auto nil = FindAttribute(attrs, kXsiNs, "nil");
                m_fieldIsNil = nil && IsTrue(*nil);
                m_field = field;
                if (!m_fieldIsNil) {
                    field->emplace();
                }
                m_levels.push_back(Level::Field);
                return;
            }
            case Level::Field:
                return Fail("Client",
                            "element " + std::string(name.local) + " inside a string parameter");
        }
    }

    void End() {
        if (m_failed || m_levels.empty()) {
            return;
        }
        m_levels.pop_back();
        m_field = nullptr;
    }

    void Text(std::string_view text) {
        if (m_failed) {
            return;
        }
        if (!m_levels.empty() && m_levels.back() == Level::Field) {
            if (m_fieldIsNil) {
                return Fail("Client", "a nil parameter holds text");
            }
            m_field->value().append(text);
            return;
        }
        if (!m_levels.empty() &&
            (m_levels.back() == Level::HeaderEntry || m_levels.back() == Level::Skipped)) {
            return;
        }
        if (!IsXmlWhitespace(text)) {
            Fail("Client", "unexpected text outside the parameters");
        }
    }

    XML_Parser m_parser;
    std::string_view m_serviceNs;
    std::vector<Level> m_levels;
    bool m_headerSeen = false;
    bool m_bodySeen = false;
    bool m_operationSeen = false;
    std::vector<std::string> m_fieldsSeen;
    std::optional<std::string>* m_field = nullptr;
    bool m_fieldIsNil = false;
    ReviseEkeyRequest m_request;
    bool m_failed = false;
    SoapFault m_fault;
};

struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

}  // namespace

std::optional<ReviseEkeyRequest> ParseReviseEkeyRequest(std::string_view body,
                                                        std::string_view serviceNs,
                                                        SoapFault& fault) {
    if (body.size() > kMaxRequestBytes) {
        fault = {"Client",
                 "the request is larger than " + std::to_string(kMaxRequestBytes) + " bytes"};
        return std::nullopt;
    }
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(
        XML_ParserCreateNS(nullptr, kNsSeparator));
    if (!parser) {
        fault = {"Server", "out of memory"};
        return std::nullopt;
    }
    RequestReader reader(parser.get(), serviceNs);
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), &RequestReader::OnStart, &RequestReader::OnEnd);
    XML_SetCharacterDataHandler(parser.get(), &RequestReader::OnText);
    XML_SetStartDoctypeDeclHandler(parser.get(), &RequestReader::OnDoctype);
    const XML_Status status =
        XML_Parse(parser.get(), body.data(), static_cast<int>(body.size()), XML_TRUE);
    if (reader.failed()) {
        fault = reader.fault();
        return std::nullopt;
    }
    if (status != XML_STATUS_OK) {
        fault = {"Client", std::string("the request is not well-formed XML: ") +
                               XML_ErrorString(XML_GetErrorCode(parser.get())) + " at line " +
                               std::to_string(XML_GetCurrentLineNumber(parser.get())) +
                               ", column " +
                               std::to_string(XML_GetCurrentColumnNumber(parser.get()))};
        return std::nullopt;
    }
    if (!reader.operationSeen()) {
        fault = {"Client", "the Body holds no ReviseEkey"};
        return std::nullopt;
    }
    return reader.request();
}

bool SoapActionMatches(std::string_view header, std::string_view serviceNs) {
    if (header.size() >= 2 && header.front() == '"' && header.back() == '"') {
        header = header.substr(1, header.size() - 2);
    }
    return header.size() == serviceNs.size() + kOperation.size() &&
           header.substr(0, serviceNs.size()) == serviceNs &&
           header.substr(serviceNs.size()) == kOperation;
}

bool IsUsableNamespace(std::string_view uri) {
    if (uri.empty() || uri.find(':') == std::string_view::npos) {
        return false;
    }
    for (char c : uri) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '"' || c == '<' || c == '>' || c == '&' || c == '\'') {
            return false;
        }
    }
    return true;
}

std::string EscapeXml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

namespace {

std::string EnvelopeStart() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
    xml.append("<soap:Envelope xmlns:soap=\"").append(kSoapEnvelopeNs);
    xml.append("\" xmlns:xsi=\"").append(kXsiNs);
    xml.append("\" xmlns:xsd=\"").append(kXsdNs).append("\"><soap:Body>");
    return xml;
}

constexpr std::string_view kEnvelopeEnd = "</soap:Body></soap:Envelope>";

}  // namespace

std::string ReviseEkeyResponseXml(std::string_view serviceNs, std::int32_t result) {
    std::string xml = EnvelopeStart();
    xml.append("<ReviseEkeyResponse xmlns=\"").append(EscapeXml(serviceNs)).append("\">");
    xml.append("<ReviseEkeyResult>").append(std::to_string(result));
    xml.append("</ReviseEkeyResult></ReviseEkeyResponse>").append(kEnvelopeEnd);
    return xml;
}

std::string SoapFaultXml(const SoapFault& fault) {
    std::string xml = EnvelopeStart();
    xml.append("<soap:Fault><faultcode>soap:").append(EscapeXml(fault.code));
    xml.append("</faultcode><faultstring>").append(EscapeXml(fault.message));
    xml.append("</faultstring><detail /></soap:Fault>").append(kEnvelopeEnd);
    return xml;
}

std::string ServiceWsdl(std::string_view serviceNs, std::string_view location) {
    const std::string ns = EscapeXml(serviceNs);
    std::string w;
    w.append("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
    w.append(
        "<wsdl:definitions xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\""
        " xmlns:s=\"http://www.w3.org/2001/XMLSchema\""
        " xmlns:wsdl=\"http://schemas.xmlsoap.org/wsdl/\" xmlns:tns=\"");
    w.append(ns).append("\" targetNamespace=\"").append(ns).append("\">\n");
    w.append("  <wsdl:types>\n");
    w.append("    <s:schema elementFormDefault=\"qualified\" targetNamespace=\"")
        .append(ns)
        .append("\">\n");
    w.append(
        "      <s:element name=\"ReviseEkey\">\n"
        "        <s:complexType>\n"
        "          <s:sequence>\n"
        "            <s:element minOccurs=\"1\" maxOccurs=\"1\" name=\"ekeysn\" "
        "nillable=\"true\" type=\"s:string\" />\n"
        "            <s:element minOccurs=\"1\" maxOccurs=\"1\" name=\"ekeydp1\" "
        "nillable=\"true\" type=\"s:string\" />\n"
        "            <s:element minOccurs=\"1\" maxOccurs=\"1\" name=\"ekeydp2\" "
        "nillable=\"true\" type=\"s:string\" />\n"
        "          </s:sequence>\n"
        "        </s:complexType>\n"
        "      </s:element>\n"
        "      <s:element name=\"ReviseEkeyResponse\">\n"
        "        <s:complexType>\n"
        "          <s:sequence>\n"
        "            <s:element minOccurs=\"1\" maxOccurs=\"1\" name=\"ReviseEkeyResult\" "
        "type=\"s:int\" />\n"
        "          </s:sequence>\n"
        "        </s:complexType>\n"
        "      </s:element>\n"
        "    </s:schema>\n"
        "  </wsdl:types>\n"
        "  <wsdl:message name=\"ReviseEkeySoapIn\">\n"
        "    <wsdl:part name=\"parameters\" element=\"tns:ReviseEkey\" />\n"
        "  </wsdl:message>\n"
        "  <wsdl:message name=\"ReviseEkeySoapOut\">\n"
        "    <wsdl:part name=\"parameters\" element=\"tns:ReviseEkeyResponse\" />\n"
        "  </wsdl:message>\n"
        "  <wsdl:portType name=\"KelUserAndHardwareServiceSoap\">\n"
        "    <wsdl:operation name=\"ReviseEkey\">\n"
        "      <wsdl:input message=\"tns:ReviseEkeySoapIn\" />\n"
        "      <wsdl:output message=\"tns:ReviseEkeySoapOut\" />\n"
        "    </wsdl:operation>\n"
        "  </wsdl:portType>\n"
        "  <wsdl:binding name=\"KelUserAndHardwareServiceSoap\" "
        "type=\"tns:KelUserAndHardwareServiceSoap\">\n"
        "    <soap:binding transport=\"http://schemas.xmlsoap.org/soap/http\" />\n"
        "    <wsdl:operation name=\"ReviseEkey\">\n"
        "      <soap:operation soapAction=\"");
    w.append(ns).append(kOperation).append("\" style=\"document\" />\n");
    w.append(
        "      <wsdl:input>\n"
        "        <soap:body use=\"literal\" />\n"
        "      </wsdl:input>\n"
        "      <wsdl:output>\n"
        "        <soap:body use=\"literal\" />\n"
        "      </wsdl:output>\n"
        "    </wsdl:operation>\n"
        "  </wsdl:binding>\n"
        "  <wsdl:service name=\"KelUserAndHardwareService\">\n"
        "    <wsdl:port name=\"KelUserAndHardwareServiceSoap\" "
        "binding=\"tns:KelUserAndHardwareServiceSoap\">\n"
        "      <soap:address location=\"");
    w.append(EscapeXml(location)).append("\" />\n");
    w.append(
        "    </wsdl:port>\n"
        "  </wsdl:service>\n"
        "</wsdl:definitions>\n");
    return w;
}

}  // namespace quillon::tokensim
