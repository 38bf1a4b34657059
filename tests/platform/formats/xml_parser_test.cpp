#include "platform/formats/XMLParser.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace platform;

namespace {

// Records every event as one line of text.
class Recorder : public XMLParserDelegate {
public:
    void didStartElement(XMLParser& parser, const std::string& name, const Dictionary& attributes) override {
        std::string line = "start " + name;
        for (const auto& entry : attributes)
            line += " " + entry.key + "=" + entry.value.stringOr("?");
        events.push_back(line);
        if (name == abortAt)
            parser.abortParsing();
    }
    void didEndElement(XMLParser&, const std::string& name) override { events.push_back("end " + name); }
    void foundCharacters(XMLParser&, const std::string& text) override {
        if (!events.empty() && events.back().starts_with("text "))
            events.back() += text;
        else
            events.push_back("text " + text);
    }
    void parseErrorOccurred(XMLParser& parser, const Error& error) override {
        events.push_back("error line " + std::to_string(parser.lineNumber()) + " col "
                         + std::to_string(parser.columnNumber()) + " code " + std::to_string(error.code));
    }

    std::vector<std::string> events;
    std::string abortAt;
};

} // namespace

TEST(XMLParser, ReportsElementsAttributesAndText) {
    XMLParser parser(R"(<?xml version="1.0" encoding="UTF-8"?>
<widget xmlns="http://www.w3.org/ns/widgets" id="x">
  <preference name="A" value="1 &amp; &lt;2&gt; &#233; &#38;#38;" />
  <feature name="Device"><param name="ios-package" value="HYBDevice" onload="true"/></feature>
  <content src="index.html"/><!-- comment -->
  <t><![CDATA[<raw>]]> &amp; more</t>
</widget>)");
    Recorder recorder;
    parser.setDelegate(&recorder);
    ASSERT_TRUE(parser.parse());
    EXPECT_FALSE(parser.parserError());
    std::vector<std::string> elements;
    for (const auto& e : recorder.events) {
        if (!e.starts_with("text ") || e.find_first_not_of(" \n", 5) != std::string::npos)
            elements.push_back(e);
    }
    EXPECT_EQ(elements, (std::vector<std::string>{
                            "start widget id=x",
                            "start preference name=A value=1 & <2> \xc3\xa9 &#38;",
                            "end preference",
                            "start feature name=Device",
                            "start param name=ios-package value=HYBDevice onload=true",
                            "end param",
                            "end feature",
                            "start content src=index.html",
                            "end content",
                            "start t",
                            "text <raw> & more",
                            "end t",
                            "end widget",
                        }));
}

TEST(XMLParser, MalformedTextGivesErrorWithLineAndColumn) {
    XMLParser parser("<widget>\n  <preference name=\"a\">\n</widget>");
    Recorder recorder;
    parser.setDelegate(&recorder);
    EXPECT_FALSE(parser.parse());
    ASSERT_TRUE(parser.parserError());
    const Error& error = *parser.parserError();
    EXPECT_EQ(error.domain, kXMLParserErrorDomain);
    EXPECT_EQ(error.userInfo[kXMLParserLineKey], Value(3));
    EXPECT_GT(error.userInfo[kXMLParserColumnKey].integerValue(), 0);
    EXPECT_EQ(parser.lineNumber(), 3);
    ASSERT_FALSE(recorder.events.empty());
    EXPECT_TRUE(recorder.events.back().starts_with("error line 3 col ")) << recorder.events.back();
    // Exactly one error, and no events after it.
    int errors = 0;
    for (const auto& e : recorder.events)
        errors += e.starts_with("error ");
    EXPECT_EQ(errors, 1);
}

TEST(XMLParser, BadInputsNeverCrash) {
    for (const char* text : {"", "<", "<a>", "<a></b>", "just text", "<a x=1/>", "<a>&undefined;</a>",
                             "<a>\xff</a>", "<?xml version=\"1.0\"?><a/><b/>",
                             "<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>",
                             "<!DOCTYPE a [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
                             "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;\">]><a>&d;</a>"}) {
        XMLParser parser(text);
        Recorder recorder;
        parser.setDelegate(&recorder);
        bool ok = parser.parse();
        for (const auto& e : recorder.events)
            EXPECT_EQ(e.find("root:"), std::string::npos) << "no external content may be read";
        EXPECT_EQ(ok, !parser.parserError()) << text;
    }
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    XMLParser parser(deep);
    EXPECT_FALSE(parser.parse());
}

TEST(XMLParser, DeclarationsAndLongMarkupAreRefusedNotExpanded) {
    const auto fails = [](const std::string& text) {
        XMLParser parser(text);
        Recorder recorder;
        parser.setDelegate(&recorder);
        EXPECT_FALSE(parser.parse()) << text.substr(0, 80);
        for (const auto& e : recorder.events)
            EXPECT_EQ(e.find("hello"), std::string::npos) << "nothing declared is reported";
        return parser.parserError() ? parser.parserError()->localizedDescription() : std::string();
    };
    EXPECT_NE(fails("<!DOCTYPE a [<!ENTITY e \"hello\">]><a>&e;</a>").find("Entity declarations"), std::string::npos);
    EXPECT_NE(fails("<!DOCTYPE a [<!ENTITY % p \"hello\">]><a/>").find("Entity declarations"), std::string::npos);
    EXPECT_NE(fails("<!DOCTYPE a [<!ATTLIST a v CDATA \"hello\">]><a/>").find("Attribute defaults"), std::string::npos);
    EXPECT_NE(fails("<!DOCTYPE a SYSTEM \"x.dtd\"><a>&e;</a>").find("not defined"), std::string::npos);
    std::string attributes = "<a";
    for (int i = 0; i <= XMLParser::kMaxAttributes; ++i)
        attributes += " v" + std::to_string(i) + "=\"\"";
    EXPECT_NE(fails(attributes + "/>").find("Too many attributes"), std::string::npos);
    std::string names = "<a";
    for (int i = 0; i <= XMLParser::kMaxAttributes; ++i)
        names += " xmlns:p" + std::to_string(i) + "=\"u\"";
    EXPECT_NE(fails(names + "/>").find("Too many attributes"), std::string::npos);
    // Declarations in scope add up level by level (each prefix is looked up among all of them).
    std::string nested;
    for (int level = 0; level < 3; ++level) {
        nested += "<a";
        for (int i = 0; i < XMLParser::kMaxNamespacesInScope / 2; ++i)
            nested += " xmlns:p" + std::to_string(level) + "x" + std::to_string(i) + "=\"u\"";
        nested += ">";
    }
    EXPECT_NE(fails(nested + "</a></a></a>").find("Too many namespace declarations"), std::string::npos);
    EXPECT_NE(fails("<a><!--" + std::string(2 * XMLParser::kMaxMarkupBytes, 'c') + "--></a>").find("Markup longer"),
              std::string::npos);
    EXPECT_NE(fails("<a v=\"" + std::string(2 * XMLParser::kMaxMarkupBytes, 'c') + "\"/>").find("Markup longer"),
              std::string::npos);

    // Within the bounds: declarations that change nothing, the limit of attributes, long text.
    std::string fine = "<!DOCTYPE a [<!ELEMENT a ANY><!ATTLIST a v CDATA #IMPLIED>]><a";
    for (int i = 0; i < XMLParser::kMaxAttributes; ++i)
        fine += " v" + std::to_string(i) + "=\"&amp;\"";
    fine += ">" + std::string(1 << 20, 't') + "&lt;</a>";
    XMLParser parser(fine);
    Recorder recorder;
    parser.setDelegate(&recorder);
    ASSERT_TRUE(parser.parse());
    ASSERT_EQ(recorder.events.size(), 3u);
    EXPECT_EQ(recorder.events[1], "text " + std::string(1 << 20, 't') + "<");
    EXPECT_NE(recorder.events[0].find(" v255=&"), std::string::npos);

    // The limit of declarations in scope, reached again by siblings once the first is closed; and a
    // parser told to refuse every declaration.
    std::string scoped = "<r>";
    for (int sibling = 0; sibling < 2; ++sibling) {
        scoped += "<a";
        for (int i = 0; i < XMLParser::kMaxNamespacesInScope / 2; ++i)
            scoped += " xmlns:p" + std::to_string(i) + "=\"u\"";
        scoped += "><b";
        for (int i = 0; i < XMLParser::kMaxNamespacesInScope / 2; ++i)
            scoped += " xmlns:q" + std::to_string(i) + "=\"u\"";
        scoped += " p0:v=\"1\"/></a>";
    }
    XMLParser inScope(scoped + "</r>");
    inScope.setDelegate(&recorder);
    EXPECT_TRUE(inScope.parse());
    XMLParser refusing("<a xmlns=\"u\"/>");
    refusing.setDelegate(&recorder);
    refusing.refuseNamespaceDeclarations();
    EXPECT_FALSE(refusing.parse());
    EXPECT_NE(refusing.parserError()->localizedDescription().find("Namespace declarations"), std::string::npos);
}

TEST(XMLParser, AbortStopsEvents) {
    XMLParser parser("<a><b/><c/></a>");
    Recorder recorder;
    recorder.abortAt = "b";
    parser.setDelegate(&recorder);
    EXPECT_FALSE(parser.parse());
    EXPECT_EQ(parser.parserError()->code, kXMLParserDelegateAbortedParseError);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"start a", "start b"}));
}

TEST(XMLParser, ReadsFiles) {
    EXPECT_FALSE(XMLParser::fromFile("/nonexistent/config.xml"));
    EXPECT_FALSE(XMLParser::fromFile(::testing::TempDir())) << "a folder is not an empty document";
    // A device or a pipe is refused without being read or waited on.
    EXPECT_FALSE(XMLParser::fromFile("/dev/zero"));
    const std::string pipe = ::testing::TempDir() + "xml_parser_test-" + std::to_string(::getpid()) + ".fifo";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_FALSE(XMLParser::fromFile(pipe));
    ::unlink(pipe.c_str());
    std::string path = ::testing::TempDir() + "xml_parser_test.xml";
    std::ofstream(path) << "<a x=\"1\"/>";
    auto parser = XMLParser::fromFile(path);
    ASSERT_TRUE(parser);
    Recorder recorder;
    parser->setDelegate(&recorder);
    EXPECT_TRUE(parser->parse());
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"start a x=1", "end a"}));
}
