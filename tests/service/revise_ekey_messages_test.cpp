#include "service/revise_ekey_messages.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "service/sax_reader.h"
#include "service/status.h"

namespace {

constexpr std::string_view kEnvelopeOpen =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";

std::string Envelope(std::string_view inside) {
    return std::string(kEnvelopeOpen) + std::string(inside) + "</soap:Envelope>";
}

std::string InBody(std::string_view inside) {
    return Envelope("<soap:Body>" + std::string(inside) + "</soap:Body>");
}

std::string Wrapper(std::string_view inside) {
    return "<ReviseEkeyResponse xmlns=\"urn:svc/\">" + std::string(inside) +
           "</ReviseEkeyResponse>";
}

std::string Reply(std::string_view resultText) {
    return InBody(Wrapper("<ReviseEkeyResult>" + std::string(resultText) + "</ReviseEkeyResult>"));
}

// Any code of the XML reader for a document that is not well formed.
constexpr std::int32_t kReaderCode = 1;

bool Matches(std::int32_t expected, std::int32_t actual) {
    if (expected == kReaderCode) {
        return (actual & static_cast<std::int32_t>(0xFFFFFF00u)) == kSaxErrorBase;
    }
    return expected == actual;
}

TEST(WriteReviseEkeyRequest, BodiesByteForByte) {
    struct Case {
        const char16_t* sn;
        const char16_t* dp1;
        const char16_t* dp2;
        std::string_view children;
    };
    const Case cases[] = {
        {u"123456789", u"87654321", u"87654321",
         "<ekeysn>123456789</ekeysn><ekeydp1>87654321</ekeydp1><ekeydp2>87654321</ekeydp2>"},
        {nullptr, u"", nullptr,
         "<ekeysn xsi:nil=\"1\"/><ekeydp1></ekeydp1><ekeydp2 xsi:nil=\"1\"/>"},
        {u"a&<>b", u"\"'\t", u"\u00e9\U0001F600\uFFFD",
         "<ekeysn>a&amp;&lt;&gt;b</ekeysn><ekeydp1>\"'&#x0009;</ekeydp1>"
         "<ekeydp2>&#x00E9;&#x01F600;&#xFFFD;</ekeydp2>"},
    };
    for (const Case& c : cases) {
        std::string body = "stale";
        body.clear();
        ReviseEkeyParams params{c.sn, c.dp1, c.dp2, 0};
        ASSERT_EQ(S_OK, WriteReviseEkeyRequest(params, "urn:svc/", body));
        EXPECT_EQ(std::string(kEnvelopeOpen) + "<soap:Body><ReviseEkey xmlns=\"urn:svc/\">" +
                      std::string(c.children) + "</ReviseEkey></soap:Body></soap:Envelope>",
                  body);
        for (char ch : body) {
            EXPECT_TRUE(ch >= 0x20 && ch <= 0x7E) << int(ch);
        }
    }
}

// A value XML 1.0 cannot carry, in any of the three fields: no body at all, and
// what the buffer held before is left as it was.
TEST(WriteReviseEkeyRequest, RefusesWhatXmlCannotCarry) {
    for (const char16_t* bad : {u"12345\x01", u"\uFFFE", u"1\uFFFF", u"\xD800", u"\x1B[2J"}) {
        for (int field = 0; field < 3; ++field) {
            const char16_t* v[3] = {u"123456789", u"87654321", u"87654321"};
            v[field] = bad;
            std::string body = "kept";
            ReviseEkeyParams params{v[0], v[1], v[2], 0};
            EXPECT_EQ(E_INVALIDARG, WriteReviseEkeyRequest(params, "urn:svc/", body)) << field;
            EXPECT_EQ("kept", body) << field;
        }
    }
}

TEST(EscapeXmlText, CodeUnits) {
    struct Case {
        std::u16string_view in;
        std::optional<std::string> out;  // nothing: refused
    };
    const Case cases[] = {
        {u"", ""},
        {u"&<>", "&amp;&lt;&gt;"},
        {u" ~\"'", " ~\"'"},
        {u"\t\n\r\x7F\u00e9\uFFFD", "&#x0009;&#x000A;&#x000D;&#x007F;&#x00E9;&#xFFFD;"},
        {u"\U0001F600\U0010FFFF\uD7FF\uE000", "&#x01F600;&#x10FFFF;&#xD7FF;&#xE000;"},
        {u"\xD83D\xDE00", "&#x01F600;"},
        {std::u16string_view(u"ab\0cd", 5), "ab"},  // stops at the first NUL
        {std::u16string_view(u"ab\0\x01", 4), "ab"},
        // Forbidden even as references.
        {u"\x01", std::nullopt},
        {u"a\x1F", std::nullopt},
        {u"\x0B\x0C", std::nullopt},
        {u"\uFFFE", std::nullopt},
        {u"\uFFFF", std::nullopt},
        {u"\xD800"
         u"A",
         std::nullopt},  // high surrogate, then no low one
        {u"\xD83D\xD83D\xDE00", std::nullopt},
        {u"\xDE00", std::nullopt},   // lone low
        {u"A\xD83D", std::nullopt},  // high at the end
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.out, EscapeXmlText(c.in));
        std::string out = "kept";
        EXPECT_EQ(c.out.has_value(), EscapeXmlText(c.in, out));
        EXPECT_EQ("kept" + c.out.value_or(""), out);
    }
}

struct ReplyCase {
    const char* name;
    std::string body;
    std::int32_t code;
    std::int32_t result;
};

std::vector<ReplyCase> ReplyCases() {
    const std::string soap12 = "http://www.w3.org/2003/05/soap-envelope";
    const std::string header = "<soap:Header><h:Auth xmlns:h=\"urn:h\" soap:mustUnderstand=\"";
    return {
        {"plain", Reply("21030"), S_OK, 21030},
        {"blank before", Reply(" \t\n21030"), S_OK, 21030},
        {"blank after", Reply("21030 "), E_FAIL, 0},
        {"hex", Reply("0x10"), E_FAIL, 0},
        {"minus one", Reply("-1"), S_OK, -1},
        {"plus sign", Reply("+7"), S_OK, 7},
        {"largest", Reply("2147483647"), S_OK, 2147483647},
        {"smallest", Reply("-2147483648"), S_OK, -2147483647 - 1},
        {"one above largest", Reply("2147483648"), E_FAIL, 0},
        {"one below smallest", Reply("-2147483649"), E_FAIL, 0},
        {"beyond 64 bits", Reply("99999999999999999999999"), E_FAIL, 0},
        {"sign only", Reply("-"), E_FAIL, 0},
        {"blank only", Reply(" "), E_FAIL, 0},
        {"empty result", Reply(""), E_FAIL, 0},
        {"empty-element result", InBody(Wrapper("<ReviseEkeyResult/>")), E_FAIL, 0},
        {"split by CDATA", Reply("210<![CDATA[30]]>"), S_OK, 21030},
        {"split by reference", Reply("2&#49;030"), S_OK, 21030},
        {"overlong blanks", Reply(std::string(300, ' ') + "1"), E_FAIL, 0},
        {"nil true",
         InBody(Wrapper("<ReviseEkeyResult xmlns:i=\"" + std::string(kXsiNamespace) +
                        "\" i:nil=\"true\">1</ReviseEkeyResult>")),
         E_FAIL, 0},
        {"nil 1", InBody(Wrapper("<ReviseEkeyResult xsi:nil=\"1\">1</ReviseEkeyResult>")), E_FAIL,
         0},
        {"nil false", InBody(Wrapper("<ReviseEkeyResult xsi:nil=\"false\">5</ReviseEkeyResult>")),
         S_OK, 5},
        {"nil outside xsi", InBody(Wrapper("<ReviseEkeyResult nil=\"true\">5</ReviseEkeyResult>")),
         S_OK, 5},
        {"result twice",
         InBody(Wrapper("<ReviseEkeyResult>1</ReviseEkeyResult><ReviseEkeyResult>2"
                        "</ReviseEkeyResult>")),
         E_FAIL, 0},
        {"element inside result", InBody(Wrapper("<ReviseEkeyResult><b>1</b></ReviseEkeyResult>")),
         E_FAIL, 0},
        {"other element in wrapper", InBody(Wrapper("<Other>1</Other>")), E_FAIL, 0},
        {"wrapper without result", InBody(Wrapper("")), E_FAIL, 0},
        {"element after wrapper in Body",
         InBody(Wrapper("<ReviseEkeyResult>1</ReviseEkeyResult>") + "<x/>"), E_FAIL, 0},
        {"element after Body",
         Envelope("<soap:Body>" + Wrapper("<ReviseEkeyResult>1</ReviseEkeyResult>") +
                  "</soap:Body><soap:Extra/>"),
         E_FAIL, 0},
        {"empty Body", InBody(""), E_FAIL, 0},
        {"no Body", Envelope(""), E_FAIL, 0},
        {"other wrapper name",
         InBody("<Whatever xmlns=\"urn:other\"><ReviseEkeyResult>3</ReviseEkeyResult></Whatever>"),
         S_OK, 3},
        {"result in other namespace",
         InBody(Wrapper("<ReviseEkeyResult xmlns=\"urn:other\">4</ReviseEkeyResult>")), S_OK, 4},
        {"text in wrapper and blanks ignored",
         InBody("\n " + Wrapper("text <ReviseEkeyResult>6</ReviseEkeyResult> more") + "\n"), S_OK,
         6},
        {"mustUnderstand 0",
         Envelope(header + "0\"><soap:Body/><x/></h:Auth></soap:Header><soap:Body>" +
                  Wrapper("<ReviseEkeyResult>8</ReviseEkeyResult>") + "</soap:Body>"),
         S_OK, 8},
        {"mustUnderstand false",
         Envelope(header + "false\"/></soap:Header><soap:Body>" +
                  Wrapper("<ReviseEkeyResult>8</ReviseEkeyResult>") + "</soap:Body>"),
         S_OK, 8},
        {"mustUnderstand 1", Envelope(header + "1\"/></soap:Header>"), E_FAIL, 0},
        {"mustUnderstand true", Envelope(header + "true\"/></soap:Header>"), E_FAIL, 0},
        {"mustUnderstand other", Envelope(header + "yes\"/></soap:Header>"), E_FAIL, 0},
        {"second Header",
         Envelope("<soap:Header/><soap:Header/><soap:Body>" +
                  Wrapper("<ReviseEkeyResult>8</ReviseEkeyResult>") + "</soap:Body>"),
         E_FAIL, 0},
        {"SOAP 1.2 envelope",
         "<e:Envelope xmlns:e=\"" + soap12 + "\"><e:Body>" +
             Wrapper("<ReviseEkeyResult>1</ReviseEkeyResult>") + "</e:Body></e:Envelope>",
         E_FAIL, 0},
        {"HTML page", "<html><body><h1>404 Not Found</h1></body></html>", E_FAIL, 0},
        {"plain text", "Not Found", kReaderCode, 0},
        {"truncated", Reply("1").substr(0, 200), kReaderCode, 0},
        {"empty document", "", kReaderCode, 0},
        {"DOCTYPE",
         "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>" + Reply("1"),
         kSaxDoctypeRefused, 0},
    };
}

TEST(ReadReviseEkeyResponse, RepliesWholeAndByteByByte) {
    for (const ReplyCase& c : ReplyCases()) {
        for (std::size_t slice : {SIZE_MAX, std::size_t{1}}) {
            SCOPED_TRACE(std::string(c.name) + (slice == 1 ? " (byte by byte)" : " (whole)"));
            StringStream stream(c.body, slice);
            SaxReader reader;
            ReviseEkeyParams params{nullptr, nullptr, nullptr, 12345};
            const std::int32_t rc = ReadReviseEkeyResponse(stream, params, reader);
            EXPECT_TRUE(Matches(c.code, rc)) << std::hex << rc;
            if (rc == S_OK) {
                EXPECT_EQ(c.result, params.ReviseEkeyResult);
            }
            EXPECT_EQ(nullptr, reader.ContentHandler());
        }
    }
}

struct FaultCase {
    const char* name;
    std::string body;
    std::int32_t code;
    std::int32_t kind;
    std::u16string faultcode;
    std::u16string faultstring;
    std::u16string detail;
};

std::string Fault(std::string_view fields) {
    return InBody("<soap:Fault>" + std::string(fields) + "</soap:Fault>");
}

std::vector<FaultCase> FaultCases() {
    return {
        {"server",
         Fault("<faultcode>soap:Server</faultcode><faultstring>Server was unable to process "
               "request.</faultstring><detail/>"),
         S_OK, SOAP_FAULT_SERVER, u"soap:Server", u"Server was unable to process request.", u""},
        {"client under another prefix",
         "<e:Envelope xmlns:e=\"" + std::string(kSoapEnvelopeNamespace) +
             "\"><e:Body><e:Fault><faultcode> e:Client </faultcode>"
             "<faultstring>caf\xC3\xA9 \xF0\x9F\x98\x80</faultstring></e:Fault></e:Body>"
             "</e:Envelope>",
         S_OK, SOAP_FAULT_CLIENT, u" e:Client ", u"caf\u00e9 \U0001F600", u""},
        {"version mismatch", Fault("<faultcode>soap:VersionMismatch</faultcode>"), S_OK,
         SOAP_FAULT_VERSIONMISMATCH, u"soap:VersionMismatch", u"", u""},
        {"must understand", Fault("<faultcode>soap:MustUnderstand</faultcode>"), S_OK,
         SOAP_FAULT_MUSTUNDERSTAND, u"soap:MustUnderstand", u"", u""},
        {"unknown code", Fault("<faultcode>soap:Other</faultcode>"), S_OK, SOAP_FAULT_NONE,
         u"soap:Other", u"", u""},
        {"unbound prefix", Fault("<faultcode>x:Server</faultcode><faultstring>s</faultstring>"),
         E_FAIL, SOAP_FAULT_NONE, u"x:Server", u"", u""},
        {"prefix of another namespace", Fault("<faultcode xmlns:x=\"urn:x\">x:Server</faultcode>"),
         E_FAIL, SOAP_FAULT_NONE, u"x:Server", u"", u""},
        {"nested detail and skipped elements",
         Fault("<faultcode>soap:Server</faultcode><extra><faultstring>hidden</faultstring>"
               "</extra><faultstring>shown</faultstring><detail><e>x</e>tail</detail>"),
         S_OK, SOAP_FAULT_SERVER, u"soap:Server", u"shown", u"tail"},
        {"capped text",
         Fault("<faultstring>" + std::string(kMaxFaultTextBytes + 10, 'a') + "</faultstring>"),
         S_OK, SOAP_FAULT_NONE, u"", std::u16string(kMaxFaultTextBytes, u'a'), u""},
        {"Header before Body",
         Envelope("<soap:Header/><soap:Body><soap:Fault><faultcode>soap:Server</faultcode>"
                  "</soap:Fault></soap:Body>"),
         E_FAIL, SOAP_FAULT_NONE, u"", u"", u""},
        {"a ReviseEkey reply", Reply("0"), E_FAIL, SOAP_FAULT_NONE, u"", u"", u""},
        {"not XML", "Internal Server Error", kReaderCode, SOAP_FAULT_NONE, u"", u"", u""},
    };
}

TEST(ReadSoapFault, FaultsWholeAndByteByByte) {
    for (const FaultCase& c : FaultCases()) {
        for (std::size_t slice : {SIZE_MAX, std::size_t{1}}) {
            SCOPED_TRACE(std::string(c.name) + (slice == 1 ? " (byte by byte)" : " (whole)"));
            StringStream stream(c.body, slice);
            SaxReader reader;
            SoapFaultRecord fault;
            fault.faultactor = u"left over from an earlier call";
            const std::int32_t rc = ReadSoapFault(stream, reader, fault);
            EXPECT_TRUE(Matches(c.code, rc)) << std::hex << rc;
            EXPECT_EQ(c.kind, fault.kind);
            EXPECT_TRUE(c.faultcode == fault.faultcode);
            EXPECT_TRUE(c.faultstring == fault.faultstring);
            EXPECT_TRUE(fault.faultactor.empty());
            EXPECT_TRUE(c.detail == fault.detail);
            EXPECT_EQ(nullptr, reader.ContentHandler());
        }
    }
}

// A stream whose read fails after some bytes, like a connection that breaks.
class BreakingStream : public ByteStream {
public:
    BreakingStream(std::string data, std::int32_t failure)
        : m_data(std::move(data)), m_failure(failure) {}
    std::int32_t Read(char* buffer, std::size_t capacity, std::size_t* bytesRead) override {
        if (m_data.empty()) {
            *bytesRead = 0;
            return m_failure;
        }
        const std::size_t n = std::min(capacity, m_data.size());
        m_data.copy(buffer, n);
        m_data.erase(0, n);
        *bytesRead = n;
        return S_OK;
    }

private:
    std::string m_data;
    std::int32_t m_failure;
};

TEST(SaxReader, StreamFailureAndHandlerStopAreTheParseResult) {
    BreakingStream broken(Reply("1").substr(0, 150), E_FAIL);
    SaxReader reader;
    ReviseEkeyParams params;
    EXPECT_EQ(E_FAIL, ReadReviseEkeyResponse(broken, params, reader));

    struct Stopper : SaxContentHandler {
        int starts = 0;
        std::int32_t StartElement(std::string_view, std::string_view, std::string_view,
                                  std::span<const SaxAttribute>) override {
            return ++starts == 2 ? -7 : S_OK;
        }
        std::int32_t EndElement(std::string_view, std::string_view, std::string_view) override {
            return S_OK;
        }
        std::int32_t Characters(std::string_view) override { return S_OK; }
    } stopper;
    reader.SetContentHandler(&stopper);
    EXPECT_EQ(-7, reader.Parse(Reply("1")));
    EXPECT_EQ(2, stopper.starts);
}

TEST(SaxReader, ReportsNamesAttributesAndPrefixes) {
    struct Recorder : SaxContentHandler {
        std::vector<std::string> events;
        std::int32_t StartPrefixMapping(std::string_view p, std::string_view u) override {
            events.push_back("map " + std::string(p) + "=" + std::string(u));
            return S_OK;
        }
        std::int32_t EndPrefixMapping(std::string_view p) override {
            events.push_back("unmap " + std::string(p));
            return S_OK;
        }
        std::int32_t StartElement(std::string_view u, std::string_view l, std::string_view q,
                                  std::span<const SaxAttribute> attrs) override {
            std::string e =
                "start {" + std::string(u) + "}" + std::string(l) + " " + std::string(q);
            for (const SaxAttribute& a : attrs) {
                e += " {" + std::string(a.uri) + "}" + std::string(a.localName) + " " +
                     std::string(a.qName) + "=" + std::string(a.value);
            }
            events.push_back(e);
            return S_OK;
        }
        std::int32_t EndElement(std::string_view u, std::string_view l,
                                std::string_view q) override {
            events.push_back("end {" + std::string(u) + "}" + std::string(l) + " " +
                             std::string(q));
            return S_OK;
        }
        std::int32_t Characters(std::string_view t) override {
            events.push_back("text " + std::string(t));
            return S_OK;
        }
    } recorder;
    SaxReader reader;
    reader.SetContentHandler(&recorder);
    ASSERT_EQ(S_OK, reader.Parse("<p:a xmlns:p=\"urn:p\" xmlns=\"urn:d\" p:x=\"1\" y=\"2\">"
                                 "<b>t</b></p:a>"));
    const std::vector<std::string> expected = {
        "map p=urn:p",      "map =urn:d", "start {urn:p}a p:a {urn:p}x p:x=1 {}y y=2",
        "start {urn:d}b b", "text t",     "end {urn:d}b b",
        "end {urn:p}a p:a", "unmap ",     "unmap p",
    };
    EXPECT_EQ(expected, recorder.events);
}

}  // namespace
