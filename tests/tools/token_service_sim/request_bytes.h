#pragma once

// The bytes Quillon's client puts on the wire for one ReviseEkey, built here by hand so
// the simulator is tested against the client's format and not against its own writer.

#include <string>
#include <string_view>

namespace quillon::tokensim::test_support {

// Values are digits in these tests, so they need no escaping.
inline std::string ClientRequestBody(std::string_view ns, std::string_view sn, std::string_view dp1,
                                     std::string_view dp2) {
    std::string body =
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";
    body += "<soap:Body><ReviseEkey xmlns=\"";
    body.append(ns).append("\">");
    body.append("<ekeysn>").append(sn).append("</ekeysn>");
    body.append("<ekeydp1>").append(dp1).append("</ekeydp1>");
    body.append("<ekeydp2>").append(dp2).append("</ekeydp2>");
    body += "</ReviseEkey></soap:Body></soap:Envelope>";
    return body;
}

// HTTP/1.0 POST as the client sends it: the HTTP layer's headers (host, agent, accepted
// type, length, keep-alive), then the SOAP action line and the content type.
inline std::string ClientHttpRequest(std::string_view ns, int port, std::string_view body) {
    std::string req = "POST /keluserandhardwareservice.asmx HTTP/1.0\r\n";
    req += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    req += "User-Agent: VCSoapClient\r\n";
    req += "Accept: text/*\r\n";
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "Connection: Keep-Alive\r\n";
    req += "SOAPAction: \"";
    req.append(ns).append("ReviseEkey\"\r\n");
    req += "Content-Type: text/xml; charset=utf-8\r\n\r\n";
    req.append(body);
    return req;
}

}  // namespace quillon::tokensim::test_support
