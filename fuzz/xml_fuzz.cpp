// Feeds arbitrary bytes to the event-driven XML reader with a delegate that touches every event.
#include "platform/formats/XMLParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class Toucher : public platform::XMLParserDelegate {
public:
    void didStartElement(platform::XMLParser&, const std::string& name, const platform::Dictionary& attributes) override {
        m_total += name.size() + attributes.size();
        ++m_depth;
    }
    void didEndElement(platform::XMLParser&, const std::string& name) override {
        m_total += name.size();
        if (--m_depth < 0)
            std::abort(); // more ends than starts
    }
    void foundCharacters(platform::XMLParser&, const std::string& text) override { m_total += text.size(); }
    void parseErrorOccurred(platform::XMLParser&, const platform::Error&) override { ++m_errors; }

    std::size_t m_total = 0;
    int m_depth = 0;
    int m_errors = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::XMLParser parser(std::string(reinterpret_cast<const char*>(data), size));
    Toucher toucher;
    parser.setDelegate(&toucher);
    bool ok = parser.parse();
    if (ok == static_cast<bool>(parser.parserError()) || toucher.m_errors > 1)
        std::abort();
    return 0;
}
