#include "platform/formats/XMLParser.h"

#include "platform/files/FileManager.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/SAX2.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <mutex>

namespace platform {

static_assert(kXMLParserRefusedError == XML_ERR_USER_STOP);

void XMLParserDelegate::didStartElement(XMLParser&, const std::string&, const Dictionary&) {}
void XMLParserDelegate::didEndElement(XMLParser&, const std::string&) {}
void XMLParserDelegate::foundCharacters(XMLParser&, const std::string&) {}
void XMLParserDelegate::parseErrorOccurred(XMLParser&, const Error&) {}

namespace {

// libxml2's process-wide set-up runs once, as this library loads: on the main thread, before any worker
// parses (a store's queue reading a property list), so that it never runs beside the library's clean-up
// as the process ends.
void setUpLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}
[[maybe_unused]] const bool kLibrarySetUpAtLoad = (setUpLibrary(), true);

std::string qualifiedName(const xmlChar* prefix, const xmlChar* localName) {
    std::string name;
    if (prefix) {
        name = reinterpret_cast<const char*>(prefix);
        name += ':';
    }
    name += reinterpret_cast<const char*>(localName);
    return name;
}

// Without entity substitution (which would also load external entities), libxml2 hands an escaped "&" in
// an attribute value on as the reference "&#38;"; every other reference arrives decoded.
void decodeAmpersands(std::string& value) {
    std::size_t at = value.find("&#38;");
    if (at == std::string::npos)
        return;
    std::string out;
    out.reserve(value.size());
    std::size_t from = 0;
    while (at != std::string::npos) {
        out.append(value, from, at - from);
        out += '&';
        from = at + 5;
        at = value.find("&#38;", from);
    }
    out.append(value, from, std::string::npos);
    value = std::move(out);
}

} // namespace

struct XMLParser::Callbacks {
    static XMLParser& self(void* context) {
        auto* ctxt = static_cast<xmlParserCtxtPtr>(context);
        return *static_cast<XMLParser*>(ctxt->_private);
    }

    static void updatePosition(XMLParser& parser) {
        auto* ctxt = static_cast<xmlParserCtxtPtr>(parser.m_context);
        parser.m_line = xmlSAX2GetLineNumber(ctxt);
        parser.m_column = xmlSAX2GetColumnNumber(ctxt);
    }

    static bool isLive(XMLParser& parser) { return parser.m_delegate && !parser.m_error && !parser.m_aborted; }

    // Stops the parse with a fatal error of its own, as if libxml2 had reported it.
    static void refuse(XMLParser& parser, std::string message) {
        if (parser.m_error || parser.m_aborted)
            return;
        auto* ctxt = static_cast<xmlParserCtxtPtr>(parser.m_context);
        updatePosition(parser);
        Error e(kXMLParserErrorDomain, kXMLParserRefusedError, std::move(message));
        e.userInfo.set(kXMLParserLineKey, Value(parser.m_line));
        e.userInfo.set(kXMLParserColumnKey, Value(parser.m_column));
        parser.m_error = e;
        xmlStopParser(ctxt);
        if (parser.m_delegate)
            parser.m_delegate->parseErrorOccurred(parser, e);
    }

    // Declared entities would be expanded (libxml2 keeps them even for a SAX reader), each reference
    // parsed again, and attribute defaults copied into every element of that name: a few kilobytes of
    // declarations become gigabytes of text or elements. Neither is read.
    static void entityDeclaration(void* context, const xmlChar* name, int, const xmlChar*, const xmlChar*, xmlChar*) {
        refuse(self(context), "Entity declarations are not supported: " + std::string(reinterpret_cast<const char*>(name)));
    }

    static void attributeDeclaration(void* context, const xmlChar* element, const xmlChar* name, int, int,
                                     const xmlChar* defaultValue, xmlEnumerationPtr tree) {
        if (tree)
            xmlFreeEnumeration(tree); // the callback owns it
        if (defaultValue)
            refuse(self(context), "Attribute defaults are not supported: " + std::string(reinterpret_cast<const char*>(element))
                                      + " " + reinterpret_cast<const char*>(name));
    }

    // A reference to an entity that is not declared, in a document with an external DTD (never loaded).
    static void reference(void* context, const xmlChar* name) {
        refuse(self(context), "Entity '" + std::string(reinterpret_cast<const char*>(name)) + "' not defined");
    }

    static void startElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar*,
                             int namespaceCount, const xmlChar**, int attributeCount, int, const xmlChar** attributes) {
        XMLParser& parser = self(context);
        if (!isLive(parser))
            return;
        if (namespaceCount + attributeCount > kMaxAttributes)
            return refuse(parser, "Too many attributes on an element: " + std::to_string(namespaceCount + attributeCount) +
                                      " (at most " + std::to_string(kMaxAttributes) + ")");
        if (namespaceCount > 0 && parser.m_refusesNamespaces)
            return refuse(parser, "Namespace declarations are not supported here");
        parser.m_namespacesInScope += namespaceCount;
        parser.m_declaredNamespaces.push_back(namespaceCount);
        if (parser.m_namespacesInScope > kMaxNamespacesInScope)
            return refuse(parser, "Too many namespace declarations in scope: " + std::to_string(parser.m_namespacesInScope) +
                                      " (at most " + std::to_string(kMaxNamespacesInScope) + ")");
        updatePosition(parser);
        Dictionary dict;
        for (int i = 0; i < attributeCount; ++i) {
            const xmlChar** a = attributes + 5 * i; // localname, prefix, URI, value, end
            std::string value(reinterpret_cast<const char*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
            decodeAmpersands(value);
            dict.set(qualifiedName(a[1], a[0]), Value(std::move(value)));
        }
        parser.m_delegate->didStartElement(parser, qualifiedName(prefix, localName), dict);
    }

    static void endElement(void* context, const xmlChar* localName, const xmlChar* prefix, const xmlChar*) {
        XMLParser& parser = self(context);
        if (!isLive(parser))
            return;
        if (!parser.m_declaredNamespaces.empty()) {
            parser.m_namespacesInScope -= parser.m_declaredNamespaces.back();
            parser.m_declaredNamespaces.pop_back();
        }
        updatePosition(parser);
        parser.m_delegate->didEndElement(parser, qualifiedName(prefix, localName));
    }

    static void characters(void* context, const xmlChar* text, int length) {
        XMLParser& parser = self(context);
        if (!isLive(parser) || length <= 0)
            return;
        updatePosition(parser);
        parser.m_delegate->foundCharacters(parser,
                                           std::string(reinterpret_cast<const char*>(text),
                                                       static_cast<std::size_t>(length)));
    }

    static void structuredError(void* context, xmlErrorPtr error) {
        if (!error || error->level != XML_ERR_FATAL)
            return;
        XMLParser& parser = self(context);
        if (parser.m_error || parser.m_aborted)
            return;
        parser.m_line = error->line;
        parser.m_column = error->int2;
        std::string message = error->message ? error->message : "XML parse error";
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        Error e(kXMLParserErrorDomain, error->code, message);
        e.userInfo.set(kXMLParserLineKey, Value(parser.m_line));
        e.userInfo.set(kXMLParserColumnKey, Value(parser.m_column));
        parser.m_error = e;
        xmlStopParser(static_cast<xmlParserCtxtPtr>(parser.m_context));
        if (parser.m_delegate)
            parser.m_delegate->parseErrorOccurred(parser, e);
    }
};

XMLParser::XMLParser(std::string data) : m_data(std::move(data)) {}

std::optional<XMLParser> XMLParser::fromFile(const std::string& path) {
    // A folder, or a file that fails while being read, is not an empty text.
    auto bytes = FileManager::defaultManager().contentsOfRegularFile(path, kMaxFileBytes);
    if (!bytes)
        return std::nullopt;
    return XMLParser(std::string(bytes->begin(), bytes->end()));
}

bool XMLParser::parse() {
    setUpLibrary(); // a parse while other libraries load, before this one's set-up

    m_error.reset();
    m_aborted = false;
    m_declaredNamespaces.clear();
    m_namespacesInScope = 0;
    m_line = 0;
    m_column = 0;
    if (m_data.size() > INT_MAX) {
        m_error = Error(kXMLParserErrorDomain, XML_ERR_INTERNAL_ERROR, "XML text too large");
        return false;
    }

    xmlSAXHandler handler{};
    handler.initialized = XML_SAX2_MAGIC;
    handler.startElementNs = &Callbacks::startElement;
    handler.endElementNs = &Callbacks::endElement;
    handler.characters = &Callbacks::characters;
    handler.cdataBlock = &Callbacks::characters;
    handler.serror = &Callbacks::structuredError;
    handler.entityDecl = &Callbacks::entityDeclaration;
    handler.attributeDecl = &Callbacks::attributeDeclaration;
    handler.reference = &Callbacks::reference;

    xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, nullptr);
    if (!ctxt) {
        m_error = Error(kXMLParserErrorDomain, XML_ERR_NO_MEMORY, "Could not create the XML parser");
        return false;
    }
    ctxt->_private = this;
    xmlCtxtUseOptions(ctxt, XML_PARSE_NONET);
    m_context = ctxt;

    // Fed in pieces: libxml2 reads a start tag, comment or declaration only once it is whole, and checks
    // a tag's attributes against each other pairwise, so the markup it holds unread is bounded.
    std::size_t fed = 0;
    while (fed < m_data.size() && !m_error && !m_aborted) {
        const std::size_t piece = std::min(kFeedBytes, m_data.size() - fed);
        const bool last = fed + piece == m_data.size();
        xmlParseChunk(ctxt, m_data.data() + fed, static_cast<int>(piece), last ? 1 : 0);
        fed += piece;
        if (!last && !m_error && !m_aborted && ctxt->input && ctxt->input->end - ctxt->input->cur > kMaxMarkupBytes)
            Callbacks::refuse(*this, "Markup longer than " + std::to_string(kMaxMarkupBytes) + " bytes");
    }
    if (m_data.empty())
        xmlParseChunk(ctxt, m_data.data(), 0, 1);
    bool wellFormed = ctxt->wellFormed != 0;
    if (!m_error && !m_aborted && !wellFormed) {
        // A fault that libxml2 did not report through the callback.
        m_line = xmlSAX2GetLineNumber(ctxt);
        m_column = xmlSAX2GetColumnNumber(ctxt);
        Error e(kXMLParserErrorDomain, ctxt->errNo ? ctxt->errNo : XML_ERR_INTERNAL_ERROR, "XML parse error");
        e.userInfo.set(kXMLParserLineKey, Value(m_line));
        e.userInfo.set(kXMLParserColumnKey, Value(m_column));
        m_error = e;
        if (m_delegate)
            m_delegate->parseErrorOccurred(*this, e);
    }
    m_context = nullptr;
    if (ctxt->myDoc) // made by libxml2 itself to hold DTD declarations
        xmlFreeDoc(ctxt->myDoc);
    ctxt->myDoc = nullptr;
    xmlFreeParserCtxt(ctxt);
    return !m_error;
}

void XMLParser::abortParsing() {
    if (m_aborted || m_error)
        return;
    m_aborted = true;
    m_error = Error(kXMLParserErrorDomain, kXMLParserDelegateAbortedParseError, "Parsing was aborted");
    if (m_context)
        xmlStopParser(static_cast<xmlParserCtxtPtr>(m_context));
}

} // namespace platform
