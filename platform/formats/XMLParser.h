// An event-driven XML reader (over libxml2's SAX interface), as the platform's XML parser offers it.
//
// Guarantees:
// - parse() runs synchronously on the calling thread and calls the delegate in document order:
//   didStartElement (qualified name, attributes in document order, entity and character references
//   decoded), foundCharacters (text and CDATA, possibly in several pieces), didEndElement.
// - The first fatal error (the text is not well-formed) stops parsing: parseErrorOccurred is called once
//   with an Error in kXMLParserErrorDomain whose code is libxml2's error number and whose details hold the
//   line (kXMLParserLineKey) and column (kXMLParserColumnKey); parse() then returns false and
//   parserError() keeps the error. Recoverable warnings are ignored. No crash and no exception on any
//   input.
// - Nothing is fetched from the network or the disk: external entities and DTDs are not loaded.
// - Bounds, for text from other applications: a document declaring an entity or an attribute default,
//   or referring to an entity that is not predefined, is refused (no expansion blow-up: nothing reported
//   comes from a declaration); so is an element with more than kMaxAttributes attributes and namespace
//   declarations, an element inside elements that declare more than kMaxNamespacesInScope namespace
//   prefixes in all (libxml2 looks each prefix up, and checks each declaration, against every one in
//   scope), and a start tag, comment, processing instruction, CDATA section or DOCTYPE longer than
//   kMaxMarkupBytes (libxml2 holds each whole before reading it, and checks a tag's attributes pairwise;
//   what it holds is checked after each 16 KiB of input, so one up to 16 KiB longer may pass). Text
//   between tags is not bounded by these. Such a refusal has the code kXMLParserRefusedError and a
//   description naming the bound; its line and column are the end of the element's start tag, or the
//   start of the markup that is too long. refuseNamespaceDeclarations() refuses every declaration, for
//   formats that have none.
// - fromFile reads only a regular file (a link to one is followed) of at most kMaxFileBytes, without
//   waiting on a FIFO or reading a device (FileManager::contentsOfRegularFile).
// - The delegate is borrowed: it must outlive parse(). abortParsing() may be called from a callback;
//   parse() then returns false with the error code kXMLParserDelegateAbortedParseError.
// - A parser is used on one thread at a time.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kXMLParserErrorDomain = "NSXMLParserErrorDomain";
inline constexpr const char* kXMLParserLineKey = "NSXMLParserErrorLineNumber";
inline constexpr const char* kXMLParserColumnKey = "NSXMLParserErrorColumn";
inline constexpr long long kXMLParserDelegateAbortedParseError = 512;
// The code of a document refused for one of the bounds below (its description names the bound).
inline constexpr long long kXMLParserRefusedError = 111;

class XMLParser;

class XMLParserDelegate {
public:
    virtual ~XMLParserDelegate() = default;
    // attributes: attribute (qualified) name to its text, in document order.
    virtual void didStartElement(XMLParser& parser, const std::string& elementName, const Dictionary& attributes);
    virtual void didEndElement(XMLParser& parser, const std::string& elementName);
    virtual void foundCharacters(XMLParser& parser, const std::string& text);
    virtual void parseErrorOccurred(XMLParser& parser, const Error& error);
};

class XMLParser {
public:
    static constexpr int kMaxAttributes = 256;
    static constexpr long kMaxMarkupBytes = 64 * 1024;
    static constexpr int kMaxNamespacesInScope = 256;
    static constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

    explicit XMLParser(std::string data);
    // nullopt when the file cannot be read or is refused.
    static std::optional<XMLParser> fromFile(const std::string& path);

    void setDelegate(XMLParserDelegate* delegate) { m_delegate = delegate; }
    // Any namespace declaration ("xmlns", "xmlns:p") stops the parse with an error.
    void refuseNamespaceDeclarations() { m_refusesNamespaces = true; }
    XMLParserDelegate* delegate() const { return m_delegate; }

    // Parses the whole text; true when it is well-formed and was not aborted.
    bool parse();
    void abortParsing();
    const std::optional<Error>& parserError() const { return m_error; }

    // The position being read (during a callback) or where parsing stopped; 1-based.
    long lineNumber() const { return m_line; }
    long columnNumber() const { return m_column; }

private:
    struct Callbacks;

    static constexpr std::size_t kFeedBytes = 16 * 1024;

    std::string m_data;
    XMLParserDelegate* m_delegate = nullptr;
    void* m_context = nullptr; // the libxml2 parser context while parse() runs
    std::optional<Error> m_error;
    bool m_aborted = false;
    bool m_refusesNamespaces = false;
    std::vector<int> m_declaredNamespaces; // per open element
    int m_namespacesInScope = 0;
    long m_line = 0;
    long m_column = 0;
};

} // namespace platform
