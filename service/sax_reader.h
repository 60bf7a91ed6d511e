#pragma once

// A namespace-aware SAX reader over expat, behind an interface of our own so that the
// reply readers never see expat types.
//
// Text is UTF-8 throughout. Expat hands out UTF-8 whatever the document's encoding,
// and comparing UTF-8 strings byte for byte is the same as comparing their UTF-16
// forms, so namespace and name checks lose nothing.
//
// Every handler method answers 0 to go on or a negative code to stop the parse; that
// code then becomes the result of Parse(). A handler must not throw.
//
// Result codes of Parse():
//   0                      the document was read to its end and is well formed
//   handler's code         a handler stopped the parse
//   stream's code          ByteStream::Read failed
//   E_OUTOFMEMORY          expat ran out of memory (XML_ERROR_NO_MEMORY)
//   kSaxDoctypeRefused     the document has a DOCTYPE. Replies of the token service
//                          never carry one (SOAP 1.1 forbids it), and refusing it means
//                          no entity is ever declared, expanded or loaded.
//   kSaxErrorBase + n      any other expat error n (enum XML_Error, 1..0xFF), e.g.
//                          0xC00CE003 no element found, 0xC00CE007 mismatched tag.
// The expat numbers are part of expat's stable ABI, so the mapping does not drift.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::int32_t kSaxErrorBase = static_cast<std::int32_t>(0xC00CE000u);
inline constexpr std::int32_t kSaxDoctypeRefused = static_cast<std::int32_t>(0xC00CE100u);

// Maps an expat error number to the reader's code (see above).
std::int32_t SaxErrorCode(int expatError);

// What a failed Parse() result says about the document, for diagnostics: "has a
// DOCTYPE, which is refused", "is not well-formed XML (...)", "could not be read: out
// of memory", or "was rejected" for a handler's own code.
std::string DescribeSaxResult(std::int32_t code);

// A pull stream: each Read hands over the next bytes. *bytesRead == 0 with a result of
// 0 means the end of the stream. A negative result is a failed read.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    virtual std::int32_t Read(char* buffer, std::size_t capacity, std::size_t* bytesRead) = 0;
};

// Reads a string in slices of at most `slice` bytes (1 = byte by byte).
class StringStream : public ByteStream {
public:
    explicit StringStream(std::string_view data, std::size_t slice = SIZE_MAX)
        : m_data(data), m_slice(slice == 0 ? 1 : slice) {}
    std::int32_t Read(char* buffer, std::size_t capacity, std::size_t* bytesRead) override;

private:
    std::string_view m_data;
    std::size_t m_slice;
};

struct SaxAttribute {
    std::string_view uri;  // empty when not in a namespace
    std::string_view localName;
    std::string_view qName;  // prefix:local as written
    std::string_view value;
};

class SaxContentHandler {
public:
    virtual ~SaxContentHandler() = default;
    // prefix is empty for the default namespace; uri is empty when undeclared.
    virtual std::int32_t StartPrefixMapping(std::string_view prefix, std::string_view uri);
    virtual std::int32_t EndPrefixMapping(std::string_view prefix);
    virtual std::int32_t StartElement(std::string_view uri, std::string_view localName,
                                      std::string_view qName,
                                      std::span<const SaxAttribute> attributes) = 0;
    virtual std::int32_t EndElement(std::string_view uri, std::string_view localName,
                                    std::string_view qName) = 0;
    // May come in several pieces for one run of text.
    virtual std::int32_t Characters(std::string_view text) = 0;
};

class SaxReader {
public:
    SaxReader() = default;
    SaxReader(const SaxReader&) = delete;
    SaxReader& operator=(const SaxReader&) = delete;

    void SetContentHandler(SaxContentHandler* handler) { m_handler = handler; }
    SaxContentHandler* ContentHandler() const { return m_handler; }

    // Parses one whole document pulled from `stream`, reporting to the content
    // handler (none set: the document is only checked). Each call uses a new parser.
    std::int32_t Parse(ByteStream& stream);
    std::int32_t Parse(std::string_view document);

private:
    SaxContentHandler* m_handler = nullptr;
};
