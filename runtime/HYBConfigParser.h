// Collects what config.xml configures: preferences (settings, lower-cased names), the map from service
// name to plug-in class, the plug-ins to start at launch, the whitelist's access origins and the start
// page. It is the delegate of the platform's event-driven XML reader; one parser reads one document.
//
// Vocabulary (names compared exactly): preference(name, value), feature(name) with param(name, value,
// onload) children, access(origin), content(src). Other elements are ignored. Elements that lack the
// attribute naming them ("name", or "origin" for access) are skipped with a log line, written once the
// document has parsed: of a document that does not parse, only its parse failure is told.
#pragma once

#include "platform/core/Value.h"
#include "platform/formats/XMLParser.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

class HYBConfigParser : public platform::XMLParserDelegate {
public:
    HYBConfigParser();

    // XML reader events.
    void didStartElement(platform::XMLParser& parser, const std::string& elementName,
                         const platform::Dictionary& attributes) override;
    void didEndElement(platform::XMLParser& parser, const std::string& elementName) override;
    // Keeps "config.xml parse error line <line> col <column>" as the parse failure.
    void parseErrorOccurred(platform::XMLParser& parser, const platform::Error& error) override;

    // Reads a whole document with this parser as the reader's delegate; false when it does not parse.
    // The elements it skipped are logged once it has parsed.
    bool parseDocument(platform::XMLParser& reader);
    bool parseDocument(std::string text);
    // The same without logging: the lines parseDocument would log are kept for skippedLines().
    bool readDocument(std::string text);
    // "config.xml: <element> without \"name\" skipped." for each element a quiet read skipped.
    const std::vector<std::string>& skippedLines() const { return m_skipped; }
    // Why the document did not parse, as the fatal failure text; nothing while it parses.
    const std::optional<std::string>& parseFailure() const { return m_parseFailure; }

    // Lower-cased service name to plug-in class name.
    const platform::Dictionary& pluginsDict() const { return m_pluginsDict; }
    // Lower-cased preference name to its value text.
    const platform::Dictionary& settings() const { return m_settings; }
    // Access origins, after the defaults "file:///*", "content:///*" and "data:///*".
    const std::vector<std::string>& whitelistHosts() const { return m_whitelistHosts; }
    // Lower-cased service names to start at launch, in document order (repeats kept).
    const std::vector<std::string>& startupPluginNames() const { return m_startupPluginNames; }
    // The start page the document names, if any.
    const std::optional<std::string>& startPage() const { return m_startPage; }

private:
    bool parseQuietly(platform::XMLParser& reader);
    void startPreference(const platform::Dictionary& attributes);
    void startParam(const platform::Dictionary& attributes);
    // Notes an element skipped for want of its naming attribute (logged by parseDocument).
    void skip(std::string_view elementName, std::string_view missing);

    platform::Dictionary m_pluginsDict;
    platform::Dictionary m_settings;
    std::vector<std::string> m_whitelistHosts;
    std::vector<std::string> m_startupPluginNames;
    std::optional<std::string> m_startPage;
    std::optional<std::string> m_featureName;
    std::optional<std::string> m_parseFailure;
    std::vector<std::string> m_skipped;
};

} // namespace runtime
