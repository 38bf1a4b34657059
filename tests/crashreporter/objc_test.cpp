#include "crashreporter/crsh_objc.h"

#include "FixtureDumps.h"
#include "support/MachOLoader.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// The class-metadata fixture placed in memory with its pointers slid, as the loader would leave it.
// Classes in files are not set up: realise() gives a class the read-write record the runtime would.
class ObjcImage {
public:
    ObjcImage()
    {
        m_loader = hybtest::MachOLoader::load(crashtest::fixturePath("objc_image.dylib"));
        if (!m_loader)
            return;
        for (const auto& segment : m_loader->segments()) {
            if (segment.name == "__DATA")
                makeWritable(m_loader->addressOf(segment.vmaddr), segment.vmsize);
        }
        static const std::regex rebase(R"(^__DATA\s+\S+\s+0x([0-9A-Fa-f]+)\s+pointer$)");
        for (const std::string& line : crashtest::dumpLines("objc_image", "rebase")) {
            std::smatch match;
            if (std::regex_match(line, match, rebase))
                word(m_loader->addressOf(std::stoull(match[1], nullptr, 16))) += m_loader->slide();
        }
        static const std::regex symbol(R"(^([0-9a-f]{16}) [lg]\s+[FO] \S+ (.+)$)");
        for (const std::string& line : crashtest::dumpLines("objc_image", "syms")) {
            std::smatch match;
            if (std::regex_match(line, match, symbol))
                m_symbols[match[2]] = m_loader->addressOf(std::stoull(match[1], nullptr, 16));
        }
        ready = crsh_macho_image_init(&image, getpid(), "objc_image.dylib", m_loader->headerAddress()) == CRSH_ERR_NONE;
    }
    ~ObjcImage()
    {
        if (ready)
            crsh_macho_image_free(&image);
    }

    static std::uint64_t& word(std::uint64_t address) { return *reinterpret_cast<std::uint64_t*>(address); }
    std::uint64_t at(const std::string& name) const
    {
        auto found = m_symbols.find(name);
        EXPECT_NE(found, m_symbols.end()) << name;
        return found == m_symbols.end() ? 0 : found->second;
    }
    // The class record's data word.
    std::uint64_t& data(const std::string& cls) { return word(at(cls) + 32); }

    // Gives the class a realised read-write record pointing at its read-only data.
    void realise(const std::string& cls, std::uint32_t extraFlags = 0)
    {
        auto& record = m_records.emplace_back(std::make_unique<std::uint64_t[]>(2));
        record[0] = (1u << 31) | extraFlags;
        record[1] = data(cls);
        data(cls) = reinterpret_cast<std::uint64_t>(record.get());
    }
    void realiseAll()
    {
        for (const char* cls : {"_OBJC_CLASS_$_Root", "_OBJC_METACLASS_$_Root", "_OBJC_CLASS_$_Second",
                                "_OBJC_METACLASS_$_Second"})
            realise(cls);
    }

    crsh_macho_image image;
    bool ready = false;

private:
    static void makeWritable(std::uint64_t start, std::uint64_t length)
    {
        std::uint64_t page = static_cast<std::uint64_t>(getpagesize());
        std::uint64_t first = start & ~(page - 1);
        ASSERT_EQ(mprotect(reinterpret_cast<void*>(first), ((start + length + page - 1) & ~(page - 1)) - first,
                           PROT_READ | PROT_WRITE),
                  0);
    }

    std::unique_ptr<hybtest::MachOLoader> m_loader;
    std::map<std::string, std::uint64_t> m_symbols;
    std::vector<std::unique_ptr<std::uint64_t[]>> m_records;
};

struct Named {
    crsh_error_t error = CRSH_ERR_UNKNOWN;
    std::uint64_t address = 0;
    std::string name;
};

Named lookup(ObjcImage& fixture, crsh_objc_cache* cache, std::uint32_t strategy, std::uint64_t pc)
{
    Named named;
    named.error = crsh_find_symbol(
        &fixture.image, strategy, cache, pc,
        [](crsh_vm_address_t address, const char* name, void* context) {
            auto* out = static_cast<Named*>(context);
            out->address = address;
            out->name = name;
        },
        &named);
    return named;
}

struct Cache {
    crsh_objc_cache cache;
    Cache() { EXPECT_EQ(crsh_objc_cache_init(&cache), CRSH_ERR_NONE); }
    ~Cache() { crsh_objc_cache_free(&cache); }
};

constexpr std::uint32_t kTable = CRSH_SYMBOL_STRATEGY_SYMBOL_TABLE;
constexpr std::uint32_t kObjc = CRSH_SYMBOL_STRATEGY_OBJC;

TEST(CrashObjc, FramesInMethodsAreNamedFromTheClassMetadata)
{
    ObjcImage fixture;
    ASSERT_TRUE(fixture.ready);
    fixture.realiseAll();
    Cache cache;

    std::uint64_t instance = fixture.at("-[Root instanceWork:]");
    Named named = lookup(fixture, &cache.cache, kObjc, instance + 4);
    ASSERT_EQ(named.error, CRSH_ERR_NONE);
    EXPECT_EQ(named.name, "-[Root instanceWork:]");
    EXPECT_EQ(named.address, instance);

    named = lookup(fixture, &cache.cache, kObjc, fixture.at("+[Root classWork]"));
    EXPECT_EQ(named.name, "+[Root classWork]");
    // A category's method carries its class's name.
    std::uint64_t category = fixture.at("-[Second(Extra) categoryWork]");
    named = lookup(fixture, &cache.cache, kObjc, category + 4);
    EXPECT_EQ(named.name, "-[Second categoryWork]");
    EXPECT_EQ(named.address, category);
    EXPECT_TRUE(cache.cache.got_modern);
    EXPECT_EQ(cache.cache.class_cache_size, CRSH_OBJC_CLASS_CACHE_SLOTS);

    // The same start address in both sources: the class-metadata name wins.
    EXPECT_EQ(lookup(fixture, &cache.cache, kTable, category).name, "-[Second(Extra) categoryWork]");
    EXPECT_EQ(lookup(fixture, &cache.cache, kTable | kObjc, category).name, "-[Second categoryWork]");

    EXPECT_EQ(lookup(fixture, &cache.cache, 0, category).error, CRSH_ERR_NOT_FOUND);
    // Below every method: nothing from the metadata.
    EXPECT_EQ(lookup(fixture, &cache.cache, kObjc, fixture.image.header_addr).error, CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(crsh_objc_enumerate_methods(&fixture.image, nullptr, nullptr, nullptr), CRSH_ERR_ACCESS_DENIED);
}

TEST(CrashObjc, ClassesNotYetRealisedContributeNothing)
{
    ObjcImage fixture;
    ASSERT_TRUE(fixture.ready);
    std::uint64_t second = fixture.at("-[Second secondWork]");
    {
        Cache cache;
        EXPECT_EQ(lookup(fixture, &cache.cache, kObjc, second).error, CRSH_ERR_NOT_FOUND);
        EXPECT_FALSE(cache.cache.got_modern);
    }

    // The last class of the list and the category's class are not realised: the first class's methods
    // are still found. (A cache keeps its sections as they were when mapped, so each case takes a new one.)
    fixture.realise("_OBJC_CLASS_$_Root");
    fixture.realise("_OBJC_METACLASS_$_Root");
    Cache cache;
    Named named = lookup(fixture, &cache.cache, kObjc, second + 4);
    ASSERT_EQ(named.error, CRSH_ERR_NONE);
    EXPECT_EQ(named.name, "+[Root classWork]");
}

TEST(CrashObjc, RecordsOutsideTheirSectionsAreInvalidData)
{
    ObjcImage fixture;
    ASSERT_TRUE(fixture.ready);
    fixture.realiseAll();
    std::uint64_t pc = fixture.at("-[Root instanceWork:]");
    auto walk = [&] {
        Cache cache;
        return crsh_objc_find_method(
            &fixture.image, &cache.cache, pc, [](bool, crsh_objc_string*, crsh_objc_string*, crsh_vm_address_t, void*) {},
            nullptr);
    };
    ASSERT_EQ(walk(), CRSH_ERR_NONE);

    // A method list whose entries are smaller than three words, or whose count runs past __objc_const.
    std::uint64_t list = fixture.at("__OBJC_$_INSTANCE_METHODS_Root");
    std::uint32_t* header = reinterpret_cast<std::uint32_t*>(list);
    std::uint32_t saved[2] = {header[0], header[1]};
    header[0] = 16;
    EXPECT_EQ(walk(), CRSH_ERR_INVALID_DATA);
    header[0] = saved[0];
    header[1] = 1000;
    EXPECT_EQ(walk(), CRSH_ERR_INVALID_DATA);
    header[1] = saved[1];

    // The class's isa (its metaclass) outside __objc_data.
    std::uint64_t& metaIsa = ObjcImage::word(fixture.at("_OBJC_CLASS_$_Root"));
    std::uint64_t isa = metaIsa;
    metaIsa = fixture.at("__OBJC_CLASS_RO_$_Root");
    EXPECT_EQ(walk(), CRSH_ERR_INVALID_DATA);
    metaIsa = isa;
    EXPECT_EQ(walk(), CRSH_ERR_NONE);
}

TEST(CrashObjc, ListEntriesOutsideTheirSectionsAreInvalidData)
{
    ObjcImage fixture;
    ASSERT_TRUE(fixture.ready);
    fixture.realiseAll();
    auto walk = [&] {
        Cache cache;
        return crsh_objc_enumerate_methods(
            &fixture.image, &cache.cache, [](bool, crsh_objc_string*, crsh_objc_string*, crsh_vm_address_t, void*) {},
            nullptr);
    };
    // The first entries of the class and category lists, found through their sections.
    crsh_async_mobject classList, categoryList;
    ASSERT_EQ(crsh_macho_image_map_section(&fixture.image, "__DATA", "__objc_classlist", &classList), CRSH_ERR_NONE);
    ASSERT_EQ(crsh_macho_image_map_section(&fixture.image, "__DATA", "__objc_catlist", &categoryList), CRSH_ERR_NONE);
    std::uint64_t& firstClass = ObjcImage::word(crsh_async_mobject_base_address(&classList));
    std::uint64_t& firstCategory = ObjcImage::word(crsh_async_mobject_base_address(&categoryList));
    crsh_async_mobject_free(&classList);
    crsh_async_mobject_free(&categoryList);

    std::uint64_t saved = firstClass;
    firstClass = fixture.at("__OBJC_CLASS_RO_$_Root"); // in __objc_const, not __objc_data
    EXPECT_EQ(walk(), CRSH_ERR_INVALID_DATA);
    firstClass = saved;

    saved = firstCategory;
    firstCategory = fixture.at("_OBJC_CLASS_$_Second"); // in __objc_data, not __objc_const
    EXPECT_EQ(walk(), CRSH_ERR_INVALID_DATA);
    firstCategory = saved;
    EXPECT_EQ(walk(), CRSH_ERR_NONE);
}

TEST(CrashObjc, ReadOnlyDataOutsideTheImageIsReadFromMemory)
{
    ObjcImage fixture;
    ASSERT_TRUE(fixture.ready);
    fixture.realiseAll();
    // A copy of Second's read-only record, renamed, outside the image (flag bit 27 as the runtime sets it).
    std::uint64_t& rw = ObjcImage::word(fixture.data("_OBJC_CLASS_$_Second") + 8);
    std::vector<std::uint64_t> copy(9);
    std::memcpy(copy.data(), reinterpret_cast<const void*>(rw), 72);
    static const char renamed[] = "Moved";
    copy[3] = reinterpret_cast<std::uint64_t>(renamed);
    rw = reinterpret_cast<std::uint64_t>(copy.data());

    Cache cache;
    Named named = lookup(fixture, &cache.cache, kObjc, fixture.at("-[Second secondWork]"));
    EXPECT_EQ(named.name, "-[Moved secondWork]");
}

TEST(CrashObjc, LongAndUnterminatedNames)
{
    ObjcImage fixture;
    ASSERT_TRUE(fixture.ready);
    fixture.realiseAll();
    // Entry 0 of Root's instance methods: its name word.
    std::uint64_t list = fixture.at("__OBJC_$_INSTANCE_METHODS_Root");
    std::uint64_t& name = ObjcImage::word(list + 8);
    std::uint64_t pc = fixture.at("-[Root instanceWork:]");

    std::string longName(300, 'm');
    name = reinterpret_cast<std::uint64_t>(longName.c_str());
    Cache cache;
    Named named = lookup(fixture, &cache.cache, kObjc, pc);
    ASSERT_EQ(named.error, CRSH_ERR_NONE);
    EXPECT_EQ(named.name.size(), CRSH_SYMBOL_NAME_MAX_CHARACTERS);
    EXPECT_EQ(named.name, ("-[Root " + longName).substr(0, 255));

    // A name that runs into an unreadable page: the method is left unnamed, the lookup fails.
    long page = getpagesize();
    auto* pages = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    std::memset(pages, 'x', page);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    crsh_objc_string string;
    crsh_objc_string_init(&string, &fixture.image, reinterpret_cast<std::uint64_t>(pages + 10));
    std::size_t length = 0;
    EXPECT_EQ(crsh_objc_string_length(&string, &length), CRSH_ERR_INVALID_ARGUMENT);
    crsh_objc_string_free(&string);
    name = reinterpret_cast<std::uint64_t>(pages + 10);
    Cache again;
    EXPECT_EQ(lookup(fixture, &again.cache, kObjc, pc).error, CRSH_ERR_INTERNAL);
    // With the symbol table as well, the table's name stands.
    EXPECT_EQ(lookup(fixture, &again.cache, kTable | kObjc, pc).name, "-[Root instanceWork:]");

    // A string that ends on the next page is found by mapping one more page.
    ASSERT_EQ(mprotect(pages + page, page, PROT_READ | PROT_WRITE), 0);
    std::memset(pages + page, 'y', 5);
    pages[page + 5] = '\0';
    crsh_objc_string_init(&string, &fixture.image, reinterpret_cast<std::uint64_t>(pages + 10));
    ASSERT_EQ(crsh_objc_string_length(&string, &length), CRSH_ERR_NONE);
    EXPECT_EQ(length, static_cast<std::size_t>(page - 10 + 5));
    const char* text = nullptr;
    ASSERT_EQ(crsh_objc_string_pointer(&string, &text), CRSH_ERR_NONE);
    EXPECT_EQ(text[length - 1], 'y');
    crsh_objc_string_free(&string);
    munmap(pages, 2 * page);
}

TEST(CrashObjc, TheClassCacheKeepsOccupiedSlotsAndIsOptional)
{
    ObjcImage fixture;
    ASSERT_TRUE(fixture.ready);
    fixture.realiseAll();
    std::uint64_t pc = fixture.at("-[Second secondWork]");

    // Without a cache block nothing is cached, and lookups still work.
    {
        Cache cache;
        cache.cache.make_block = [](std::size_t) -> void* { return nullptr; };
        EXPECT_EQ(lookup(fixture, &cache.cache, kObjc, pc).name, "-[Second secondWork]");
        EXPECT_EQ(cache.cache.class_cache_size, 0u);
    }

    // A slot held by another class is not taken over.
    Cache cache;
    EXPECT_EQ(lookup(fixture, &cache.cache, kObjc, fixture.at("-[Root instanceWork:]")).error, CRSH_ERR_NONE);
    ASSERT_EQ(cache.cache.class_cache_size, CRSH_OBJC_CLASS_CACHE_SLOTS);
    std::uint64_t data = fixture.data("_OBJC_CLASS_$_Second");
    std::size_t slot = (data >> 2) % CRSH_OBJC_CLASS_CACHE_SLOTS;
    std::uint64_t other = data + 4 * CRSH_OBJC_CLASS_CACHE_SLOTS; // same slot
    // Start again with only Root known and Second's slot taken by another key.
    crsh_async_memset(cache.cache.class_cache_keys, 0, CRSH_OBJC_CLASS_CACHE_BLOCK_BYTES);
    cache.cache.class_cache_keys[slot] = other;
    cache.cache.class_cache_values[slot] = 1;
    EXPECT_EQ(lookup(fixture, &cache.cache, kObjc, pc).name, "-[Second secondWork]");
    EXPECT_EQ(cache.cache.class_cache_keys[slot], other);
    EXPECT_EQ(cache.cache.class_cache_values[slot], 1u);
}

} // namespace
