// Reads arbitrary bytes as a keyed archive. Whatever reads must, when it can be written again, read back
// from its own bytes; nothing may crash, recurse without bound or leak.
#include "platform/formats/KeyedArchiver.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

// A registered class whose reader takes every kind of field, so that archives naming it reach object
// creation; it writes its fields back as it found them.
class Record : public platform::KeyedArchivable {
public:
    explicit Record(const platform::KeyedUnarchiver& coder)
        : m_number(coder.decodeInt64("n")), m_flag(coder.decodeBool("f")), m_next(coder.decodeObjectOfClass<Record>("next")),
          m_any(coder.decodeObject("any")) {}
    std::string archiveClassName() const override { return "FuzzRecord"; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override {
        coder.encode("n", m_number);
        coder.encode("f", m_flag);
        coder.encode("next", m_next);
        coder.encode("any", m_any);
    }

private:
    std::int64_t m_number;
    bool m_flag;
    std::shared_ptr<Record> m_next;
    platform::ArchiveValue m_any;
};

const bool registered = platform::KeyedArchiver::registerClass<Record>("FuzzRecord");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)registered;
    std::vector<std::string> dropped;
    auto value = platform::KeyedUnarchiver::unarchive(platform::ByteSpan(data, size), &dropped);
    if (!value.ok())
        return 0;
    (void)value->hash();
    auto bytes = platform::KeyedArchiver::archivedData(value.value());
    if (!bytes.ok())
        return 0; // e.g. a date or a text a property list cannot write
    if (!platform::KeyedUnarchiver::unarchive(bytes.value()).ok())
        std::abort();
    return 0;
}
