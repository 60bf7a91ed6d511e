#include "service/sax_reader.h"

#include <expat.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "service/status.h"

namespace {

// Separates URI, local name and prefix in the names expat reports. U+0001 is not an
// XML 1.0 character, not even through a character reference, so it never occurs in a
// namespace URI.
constexpr char kNsSeparator = '\x01';
constexpr int kReadSize = 4096;

struct SplitName {
    std::string_view uri;
    std::string_view localName;
    std::string_view prefix;
};

SplitName Split(std::string_view name) {
    SplitName out;
    const std::size_t first = name.find(kNsSeparator);
    if (first == std::string_view::npos) {
        out.localName = name;
        return out;
    }
    out.uri = name.substr(0, first);
    const std::string_view rest = name.substr(first + 1);
    const std::size_t second = rest.find(kNsSeparator);
    if (second == std::string_view::npos) {
        out.localName = rest;
    } else {
        out.localName = rest.substr(0, second);
        out.prefix = rest.substr(second + 1);
    }
    return out;
}

void MakeQName(const SplitName& name, std::string& out) {
    out.clear();
    if (!name.prefix.empty()) {
        out.append(name.prefix);
        out.push_back(':');
    }
    out.append(name.localName);
}

struct ParseContext {
    XML_Parser parser = nullptr;
    SaxContentHandler* handler = nullptr;
    std::int32_t code = S_OK;
    std::string qName;
    std::vector<std::string> attributeQNames;
    std::vector<SaxAttribute> attributes;

    // Records the first failure and stops expat; later callbacks are ignored.
    void Stop(std::int32_t failure) {
        if (code == S_OK) {
            code = failure;
        }
        XML_StopParser(parser, XML_FALSE);
    }
    bool Active() const { return handler != nullptr && code == S_OK; }
};

ParseContext& Context(void* userData) {
    return *static_cast<ParseContext*>(userData);
}

std::string_view View(const XML_Char* text) {
    return text == nullptr ? std::string_view() : std::string_view(text);
}

// Runs one handler callback: nothing once the parse has stopped; a negative answer or
// running out of memory stops it.
template <typename Call>
void Deliver(void* userData, Call call) {
    ParseContext& ctx = Context(userData);
    if (!ctx.Active()) {
        return;
    }
    try {
        const std::int32_t rc = call(ctx);
        if (rc < 0) {
            ctx.Stop(rc);
        }
    } catch (const std::bad_alloc&) {
        ctx.Stop(E_OUTOFMEMORY);
    }
}

void OnStartElement(void* userData, const XML_Char* name, const XML_Char** atts) {
    Deliver(userData, [&](ParseContext& ctx) {
        const SplitName element = Split(View(name));
        MakeQName(element, ctx.qName);
        std::size_t count = 0;
        while (atts[2 * count] != nullptr) {
            ++count;
        }
        ctx.attributeQNames.resize(std::max(ctx.attributeQNames.size(), count));
        ctx.attributes.clear();
        for (std::size_t i = 0; i < count; ++i) {
            const SplitName attr = Split(View(atts[2 * i]));
            MakeQName(attr, ctx.attributeQNames[i]);
            ctx.attributes.push_back(
                {attr.uri, attr.localName, ctx.attributeQNames[i], View(atts[2 * i + 1])});
        }
        return ctx.handler->StartElement(element.uri, element.localName, ctx.qName, ctx.attributes);
    });
}

void OnEndElement(void* userData, const XML_Char* name) {
    Deliver(userData, [&](ParseContext& ctx) {
        const SplitName element = Split(View(name));
        MakeQName(element, ctx.qName);
        return ctx.handler->EndElement(element.uri, element.localName, ctx.qName);
    });
}

void OnCharacters(void* userData, const XML_Char* text, int length) {
    Deliver(userData, [&](ParseContext& ctx) {
        return ctx.handler->Characters(std::string_view(text, static_cast<std::size_t>(length)));
    });
}

void OnStartNamespace(void* userData, const XML_Char* prefix, const XML_Char* uri) {
    Deliver(userData, [&](ParseContext& ctx) {
        return ctx.handler->StartPrefixMapping(View(prefix), View(uri));
    });
}

void OnEndNamespace(void* userData, const XML_Char* prefix) {
    Deliver(userData,
            [&](ParseContext& ctx) { return ctx.handler->EndPrefixMapping(View(prefix)); });
}

void OnStartDoctype(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    Context(userData).Stop(kSaxDoctypeRefused);
}

class ParserHolder {
public:
    ParserHolder() : m_parser(XML_ParserCreateNS(nullptr, kNsSeparator)) {}
    ~ParserHolder() {
        if (m_parser != nullptr) {
            XML_ParserFree(m_parser);
        }
    }
    ParserHolder(const ParserHolder&) = delete;
    ParserHolder& operator=(const ParserHolder&) = delete;
    XML_Parser get() const { return m_parser; }

private:
    XML_Parser m_parser;
};

}  // namespace

std::int32_t SaxErrorCode(int expatError) {
    if (expatError == XML_ERROR_NO_MEMORY) {
        return E_OUTOFMEMORY;
    }
    return kSaxErrorBase | (expatError & 0xFF);
}

std::string DescribeSaxResult(std::int32_t code) {
    if (code == kSaxDoctypeRefused) {
        return "has a DOCTYPE, which is refused";
    }
    if (code == E_OUTOFMEMORY) {
        return "could not be read: out of memory";
    }
    if ((code & ~0xFF) == kSaxErrorBase) {
        const XML_LChar* text = XML_ErrorString(static_cast<XML_Error>(code & 0xFF));
        return std::string("is not well-formed XML (") + (text != nullptr ? text : "error") + ")";
    }
    return "was rejected";
}

std::int32_t StringStream::Read(char* buffer, std::size_t capacity, std::size_t* bytesRead) {
    const std::size_t n = std::min({capacity, m_slice, m_data.size()});
    if (n > 0) {
        std::memcpy(buffer, m_data.data(), n);
    }
    m_data.remove_prefix(n);
    *bytesRead = n;
    return S_OK;
}

std::int32_t SaxContentHandler::StartPrefixMapping(std::string_view, std::string_view) {
    return S_OK;
}

std::int32_t SaxContentHandler::EndPrefixMapping(std::string_view) {
    return S_OK;
}

std::int32_t SaxReader::Parse(std::string_view document) {
    StringStream stream(document);
    return Parse(stream);
}

std::int32_t SaxReader::Parse(ByteStream& stream) {
    ParserHolder holder;
    if (holder.get() == nullptr) {
        return E_OUTOFMEMORY;
    }
    ParseContext ctx;
    ctx.parser = holder.get();
    ctx.handler = m_handler;
    XML_Parser parser = holder.get();
    XML_SetReturnNSTriplet(parser, XML_TRUE);
    XML_SetUserData(parser, &ctx);
    XML_SetElementHandler(parser, OnStartElement, OnEndElement);
    XML_SetCharacterDataHandler(parser, OnCharacters);
    XML_SetNamespaceDeclHandler(parser, OnStartNamespace, OnEndNamespace);
    XML_SetStartDoctypeDeclHandler(parser, OnStartDoctype);
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);

    for (;;) {
        void* buffer = XML_GetBuffer(parser, kReadSize);
        if (buffer == nullptr) {
            return SaxErrorCode(XML_GetErrorCode(parser));
        }
        std::size_t got = 0;
        const std::int32_t rc = stream.Read(static_cast<char*>(buffer), kReadSize, &got);
        if (rc < 0) {
            return rc;
        }
        got = std::min<std::size_t>(got, kReadSize);
        const bool final = got == 0;
        if (XML_ParseBuffer(parser, static_cast<int>(got), final ? XML_TRUE : XML_FALSE) !=
            XML_STATUS_OK) {
            return ctx.code != S_OK ? ctx.code : SaxErrorCode(XML_GetErrorCode(parser));
        }
        if (ctx.code != S_OK) {
            return ctx.code;
        }
        if (final) {
            return S_OK;
        }
    }
}
