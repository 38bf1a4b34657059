#include "runtime/HYBConfigParser.h"

#include "platform/core/Log.h"
#include "runtime/TextCase.h"

#include <cctype>

namespace runtime {
namespace {

const std::string* attribute(const platform::Dictionary& attributes, std::string_view name) {
    const platform::Value* value = attributes.find(name);
    return value ? value->getString() : nullptr;
}

} // namespace

HYBConfigParser::HYBConfigParser() : m_whitelistHosts{"file:///*", "content:///*", "data:///*"} {
    m_startupPluginNames.reserve(8);
}

bool HYBConfigParser::parseQuietly(platform::XMLParser& reader) {
    reader.setDelegate(this);
    if (!reader.parse() && !m_parseFailure)
        parseErrorOccurred(reader, reader.parserError().value_or(platform::Error()));
    reader.setDelegate(nullptr);
    if (m_parseFailure)
        m_skipped.clear();
    return !m_parseFailure;
}

bool HYBConfigParser::readDocument(std::string text) {
    platform::XMLParser reader(std::move(text));
    return parseQuietly(reader);
}

bool HYBConfigParser::parseDocument(platform::XMLParser& reader) {
    if (!parseQuietly(reader))
        return false;
    for (const std::string& line : m_skipped)
        platform::Log::write(line);
    m_skipped.clear();
    return true;
}

bool HYBConfigParser::parseDocument(std::string text) {
    platform::XMLParser reader(std::move(text));
    return parseDocument(reader);
}

void HYBConfigParser::didStartElement(platform::XMLParser& /*parser*/, const std::string& elementName,
                                      const platform::Dictionary& attributes) {
    if (elementName == "preference") {
        startPreference(attributes);
    } else if (elementName == "feature") {
        const std::string* name = attribute(attributes, "name");
        if (!name) {
            skip(elementName, "name");
            m_featureName.reset();
            return;
        }
        m_featureName = lowercased(*name);
    } else if (elementName == "param") {
        startParam(attributes);
    } else if (elementName == "access") {
        const std::string* origin = attribute(attributes, "origin");
        if (!origin) {
            skip(elementName, "origin");
            return;
        }
        m_whitelistHosts.push_back(*origin);
    } else if (elementName == "content") {
        const std::string* src = attribute(attributes, "src");
        if (src)
            m_startPage = *src;
        else
            m_startPage.reset();
    }
}

void HYBConfigParser::didEndElement(platform::XMLParser& /*parser*/, const std::string& elementName) {
    if (elementName == "feature")
        m_featureName.reset();
}

void HYBConfigParser::parseErrorOccurred(platform::XMLParser& parser, const platform::Error& error) {
    m_parseFailure = platform::formatString("config.xml parse error line %ld col %ld", parser.lineNumber(),
                                            parser.columnNumber());
    // A document the reader refuses for one of its bounds (too many attributes, markup too long...) is
    // well-formed as far as it was read: the failure names the bound.
    if (error.domain == platform::kXMLParserErrorDomain && error.code == platform::kXMLParserRefusedError) {
        std::string why = error.localizedDescription();
        if (!why.empty())
            why.front() = static_cast<char>(std::tolower(static_cast<unsigned char>(why.front())));
        *m_parseFailure += ": " + why;
    }
}

void HYBConfigParser::skip(std::string_view elementName, std::string_view missing) {
    m_skipped.push_back("config.xml: <" + std::string(elementName) + "> without \"" + std::string(missing) + "\" skipped.");
}

void HYBConfigParser::startPreference(const platform::Dictionary& attributes) {
    const std::string* name = attribute(attributes, "name");
    if (!name) {
        skip("preference", "name");
        return;
    }
    std::string key = lowercased(*name);
    if (const std::string* value = attribute(attributes, "value"))
        m_settings.set(std::move(key), *value);
    else
        m_settings.remove(key);
}

void HYBConfigParser::startParam(const platform::Dictionary& attributes) {
    if (!m_featureName)
        return;
    const std::string* name = attribute(attributes, "name");
    if (!name) {
        skip("param", "name");
        return;
    }
    std::string paramName = lowercased(*name);
    const std::string* value = attribute(attributes, "value");
    if (paramName == "ios-package" && value)
        m_pluginsDict.set(*m_featureName, *value);
    bool onloadByName = paramName == "onload" && value && *value == "true";
    const std::string* onloadAttribute = attribute(attributes, "onload");
    bool onloadByAttribute = onloadAttribute && lowercased(*onloadAttribute) == "true";
    if (onloadByName || onloadByAttribute)
        m_startupPluginNames.push_back(*m_featureName);
}

} // namespace runtime
