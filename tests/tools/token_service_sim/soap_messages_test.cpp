#include "tools/token_service_sim/soap_messages.h"

#include <expat.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/tools/token_service_sim/request_bytes.h"

namespace quillon::tokensim {
namespace {

constexpr std::string_view kNs = "http://tokens.test.example/";

std::string Envelope(const std::string& body, const std::string& header = "") {
    return "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" +
           header + "<soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

std::string Operation(const std::string& children) {
    return "<ReviseEkey xmlns=\"" + std::string(kNs) + "\">" + children + "</ReviseEkey>";
}

TEST(ParseRequest, ReadsTheClientsRequestBytes) {
    SoapFault fault;
    const auto request = ParseReviseEkeyRequest(
        test_support::ClientRequestBody(kNs, "123456789", "12345678", "87654321"), kNs, fault);
    ASSERT_TRUE(request) << fault.message;
    EXPECT_EQ(request->ekeysn, "123456789");
    EXPECT_EQ(request->ekeydp1, "12345678");
    EXPECT_EQ(request->ekeydp2, "87654321");
}

TEST(ParseRequest, NilAbsentAndEmptyParametersAndEscapes) {
    SoapFault fault;
    const auto request = ParseReviseEkeyRequest(
        Envelope(Operation("<ekeysn xsi:nil=\"1\"/><ekeydp1></ekeydp1>")), kNs, fault);
    ASSERT_TRUE(request) << fault.message;
    EXPECT_FALSE(request->ekeysn);
    EXPECT_EQ(request->ekeydp1, "");
    EXPECT_FALSE(request->ekeydp2);

    // Prefixed names, a Header without mustUnderstand, reordering, entities, split text.
    const auto other = ParseReviseEkeyRequest(
        "<?xml version=\"1.0\"?>\n<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/"
        "envelope/\">\n <e:Header><h:Trace xmlns:h=\"urn:x\" e:mustUnderstand=\"0\">"
        "<h:x>1</h:x></h:Trace></e:Header>\n <e:Body>\n  <t:ReviseEkey xmlns:t=\"" +
            std::string(kNs) +
            "\"><t:ekeydp2>a&amp;b&#x4E2D;</t:ekeydp2><t:ekeysn>1<![CDATA[2]]>3</t:ekeysn>"
            "</t:ReviseEkey>\n </e:Body>\n</e:Envelope>\n",
        kNs, fault);
    ASSERT_TRUE(other) << fault.message;
    EXPECT_EQ(other->ekeysn, "123");
    EXPECT_EQ(other->ekeydp2, "a&b\xE4\xB8\xAD");
}

TEST(ParseRequest, MalformedRequestsGetTheRightFaultCode) {
    const std::string ok = Operation("<ekeysn>1</ekeysn>");
    const struct {
        std::string body;
        const char* code;
    } cases[] = {
        {"", "Client"},
        {"not xml", "Client"},
        {Envelope(ok) + "<x/>", "Client"},
        {"<!DOCTYPE e [<!ENTITY a \"aaaa\">]>" + Envelope(ok), "Client"},
        {"<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Body>" + ok +
             "</Body></Envelope>",
         "VersionMismatch"},
        {"<soap:Body xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">" + ok +
             "</soap:Body>",
         "Client"},
        {Envelope(ok, "<soap:Header><m xmlns=\"urn:x\" soap:mustUnderstand=\"1\"/></soap:Header>"),
         "MustUnderstand"},
        {Envelope(ok,
                  "<soap:Header><m xmlns=\"urn:x\" soap:mustUnderstand=\"yes\"/>"
                  "</soap:Header>"),
         "MustUnderstand"},
        {Envelope(""), "Client"},
        {Envelope(ok + ok), "Client"},
        {Envelope("<ReviseEkey xmlns=\"urn:other\"><ekeysn>1</ekeysn></ReviseEkey>"), "Client"},
        {Envelope("<Other xmlns=\"" + std::string(kNs) + "\"/>"), "Client"},
        {Envelope(Operation("<ekeysn>1</ekeysn><ekeysn>2</ekeysn>")), "Client"},
        {Envelope(Operation("<extra>1</extra>")), "Client"},
        {Envelope(Operation("<ekeysn xmlns=\"urn:other\">1</ekeysn>")), "Client"},
        {Envelope(Operation("<ekeysn><b>1</b></ekeysn>")), "Client"},
        {Envelope(Operation("<ekeysn xsi:nil=\"true\">1</ekeysn>")), "Client"},
        {Envelope(Operation("text<ekeysn>1</ekeysn>")), "Client"},
        {Envelope(ok), ""},  // control: accepted
        {std::string(kMaxRequestBytes + 1, ' '), "Client"},
    };
    for (const auto& c : cases) {
        SoapFault fault;
        const auto request = ParseReviseEkeyRequest(c.body, kNs, fault);
        if (std::string_view(c.code).empty()) {
            EXPECT_TRUE(request) << c.body << ": " << fault.message;
            continue;
        }
        EXPECT_FALSE(request) << c.body;
        EXPECT_EQ(fault.code, c.code) << c.body << ": " << fault.message;
        EXPECT_FALSE(fault.message.empty());
    }
}

TEST(SoapAction, QuotedOrBareNamespacePlusOperation) {
    EXPECT_TRUE(SoapActionMatches("\"http://tokens.test.example/ReviseEkey\"", kNs));
    EXPECT_TRUE(SoapActionMatches("http://tokens.test.example/ReviseEkey", kNs));
    for (const char* bad :
         {"", "\"\"", "ReviseEkey", "\"http://tokens.test.example/Revise\"",
          "\"http://tokens.test.example/ReviseEkeyX\"", "\"http://other.example/ReviseEkey\""}) {
        EXPECT_FALSE(SoapActionMatches(bad, kNs)) << bad;
    }
}

TEST(Namespace, OnlyAbsoluteUrisWeCanWriteVerbatim) {
    EXPECT_TRUE(IsUsableNamespace("http://tokens.quillon.example/"));
    EXPECT_TRUE(IsUsableNamespace("urn:quillon:tokens"));
    for (const char* bad :
         {"", "tokens", "http://a b/", "http://a\"/", "http://a/<", "http://a/&", "http://a/\n"}) {
        EXPECT_FALSE(IsUsableNamespace(bad)) << bad;
    }
}

// Replies and the WSDL must at least be well-formed; their content is checked by the
// clients that read them in the server and interop tests.
bool WellFormed(const std::string& xml) {
    XML_Parser parser = XML_ParserCreateNS(nullptr, '\n');
    const bool ok =
        XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return ok;
}

TEST(Replies, AreWellFormedAndEscapeTheirTexts) {
    EXPECT_TRUE(WellFormed(ReviseEkeyResponseXml(kNs, -2147483647 - 1)));
    const std::string fault = SoapFaultXml({"Client", "bad <input> & \"more\""});
    EXPECT_TRUE(WellFormed(fault));
    EXPECT_NE(fault.find("<faultcode>soap:Client</faultcode>"), std::string::npos);
    const std::string wsdl = ServiceWsdl(kNs, "http://127.0.0.1:1/x?a=1&b=2");
    EXPECT_TRUE(WellFormed(wsdl));
    EXPECT_NE(wsdl.find("soapAction=\"http://tokens.test.example/ReviseEkey\""), std::string::npos);
}

}  // namespace
}  // namespace quillon::tokensim
