#include "crashreporter/crsh_objc.h"

#include "FixtureDumps.h"
#include "MachOBuilder.h"
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
    explicit ObjcImage(hybtest::MachOLoader::Placement placement = hybtest::MachOLoader::Placement::Anywhere)
    {
        m_loader = hybtest::MachOLoader::load(crashtest::fixturePath("objc_image.dylib"), {}, placement);
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

Named lookup(const crsh_macho_image* image, crsh_objc_cache* cache, std::uint32_t strategy, std::uint64_t pc)
{
    Named named;
    named.error = crsh_find_symbol(
        image, strategy, cache, pc,
        [](crsh_vm_address_t address, const char* name, void* context) {
            auto* out = static_cast<Named*>(context);
            out->address = address;
            out->name = name;
        },
        &named);
    return named;
}

Named lookup(ObjcImage& fixture, crsh_objc_cache* cache, std::uint32_t strategy, std::uint64_t pc)
{
    return lookup(&fixture.image, cache, strategy, pc);
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

TEST(CrashObjc, TaggedIsaOfArm64ImagesIsMasked)
{
    // The mask keeps bits 3-32 only, so the image must lie low for it to find the metaclass again.
    ObjcImage fixture(hybtest::MachOLoader::Placement::Low);
    ASSERT_TRUE(fixture.ready);
    ASSERT_LT(fixture.image.header_addr, 1ull << 31);
    fixture.realiseAll();
    std::uint64_t& isa = ObjcImage::word(fixture.at("_OBJC_CLASS_$_Root"));
    ASSERT_EQ(isa, fixture.at("_OBJC_METACLASS_$_Root"));
    isa |= 0x000F'0000'0000'0001; // tagged: bit 0 and the runtime's high bits
    Cache cache;
    EXPECT_EQ(lookup(fixture, &cache.cache, kObjc, fixture.at("+[Root classWork]") + 4).name, "+[Root classWork]");

    // Without bit 0 the word is taken as it is, and lies nowhere near __objc_data.
    isa &= ~std::uint64_t{1};
    Cache again;
    EXPECT_EQ(crsh_objc_enumerate_methods(
                  &fixture.image, &again.cache,
                  [](bool, crsh_objc_string*, crsh_objc_string*, crsh_vm_address_t, void*) {}, nullptr),
              CRSH_ERR_INVALID_DATA);
}

// A 32-bit image with classic class metadata, placed below 2 GiB so that its records' 32-bit pointers
// reach them. The records are written after the image, in the image's byte order.
class ClassicImage {
public:
    static constexpr std::size_t kModules = 3;
    static constexpr std::size_t kRecords = 0x2000; // where the records start, past the image

    explicit ClassicImage(bool swapped)
        : m_swapped(swapped)
    {
        crashtest::MachOBuilder builder;
        builder.m64 = false;
        builder.swapped = swapped;
        builder.sectionSegment = "__OBJC";
        builder.sections.push_back({"__module_info", std::vector<std::uint8_t>(kModules * 16)});
        std::vector<std::uint8_t> bytes = builder.build();
        m_page = static_cast<std::size_t>(getpagesize());
        m_size = kRecords + 2 * m_page; // the last page stays unreadable
        m_memory = static_cast<std::uint8_t*>(hybtest::mapLowMemory(m_size, PROT_READ | PROT_WRITE));
        if (m_memory == nullptr)
            return;
        mprotect(m_memory + m_size - m_page, m_page, PROT_NONE);
        std::memcpy(m_memory, bytes.data(), bytes.size());
        m_modules = builder.sectionData[0];
        m_sectionSize = builder.sectionHeaders[0] + 36;
        m_next = kRecords;
        ready = crsh_macho_image_init(&image, getpid(), "classic", address(0)) == CRSH_ERR_NONE;
    }
    ~ClassicImage()
    {
        if (ready)
            crsh_macho_image_free(&image);
        if (m_memory != nullptr)
            munmap(m_memory, m_size);
    }

    std::uint32_t address(std::size_t offset) const
    {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m_memory + offset));
    }
    void set32(std::uint32_t at, std::uint32_t value)
    {
        value = m_swapped ? __builtin_bswap32(value) : value;
        std::memcpy(reinterpret_cast<void*>(std::uintptr_t{at}), &value, 4);
    }
    void set16(std::uint32_t at, std::uint16_t value)
    {
        value = m_swapped ? __builtin_bswap16(value) : value;
        std::memcpy(reinterpret_cast<void*>(std::uintptr_t{at}), &value, 2);
    }
    // Appends 32-bit words to the records and returns their address.
    std::uint32_t words(const std::vector<std::uint32_t>& values)
    {
        std::uint32_t at = address(m_next);
        for (std::size_t i = 0; i < values.size(); ++i)
            set32(at + 4 * static_cast<std::uint32_t>(i), values[i]);
        m_next += 4 * values.size();
        return at;
    }
    std::uint32_t string(const std::string& text)
    {
        std::uint32_t at = address(m_next);
        std::memcpy(m_memory + m_next, text.c_str(), text.size() + 1);
        m_next += (text.size() + 4) & ~std::size_t{3};
        return at;
    }
    // A method list: obsolete word, count, then (name, types, implementation) entries.
    std::uint32_t methodList(const std::vector<std::pair<std::string, std::uint32_t>>& methods)
    {
        std::vector<std::uint32_t> names;
        for (const auto& method : methods)
            names.push_back(string(method.first));
        std::vector<std::uint32_t> list{0, static_cast<std::uint32_t>(methods.size())};
        for (std::size_t i = 0; i < methods.size(); ++i)
            list.insert(list.end(), {names[i], 0, methods[i].second});
        return words(list);
    }
    // A class record: isa, superclass, name, version, info, instance size, ivars, method lists, cache,
    // protocols.
    std::uint32_t classRecord(std::uint32_t isa, std::uint32_t name, std::uint32_t info, std::uint32_t lists)
    {
        return words({isa, 0, name, 0, info, 0, 0, lists, 0, 0});
    }
    // A module symbol table: reference count, references, class and category counts, then the pointers.
    std::uint32_t symtab(const std::vector<std::uint32_t>& classes, const std::vector<std::uint32_t>& categories)
    {
        std::uint32_t at = words({0, 0, 0});
        set16(at + 8, static_cast<std::uint16_t>(classes.size()));
        set16(at + 10, static_cast<std::uint16_t>(categories.size()));
        words(classes);
        words(categories);
        return at;
    }
    void module(std::size_t index, std::uint32_t symtab)
    {
        std::uint32_t at = address(m_modules + 16 * index);
        set32(at, 7);
        set32(at + 4, 16);
        set32(at + 12, symtab);
    }
    // The image record keeps its own copy of the load commands: it is made again after the change.
    void setSectionSize(std::uint32_t size)
    {
        set32(address(m_sectionSize), size);
        crsh_macho_image_free(&image);
        ready = crsh_macho_image_init(&image, getpid(), "classic", address(0)) == CRSH_ERR_NONE;
    }
    std::uint32_t unreadable() const { return address(m_size - m_page); }

    crsh_macho_image image;
    bool ready = false;

private:
    bool m_swapped;
    std::uint8_t* m_memory = nullptr;
    std::size_t m_page = 0, m_size = 0, m_next = 0, m_modules = 0, m_sectionSize = 0;
};

struct Reported {
    std::vector<std::string> methods;
};

crsh_error_t enumerate(const crsh_macho_image* image, crsh_objc_cache* cache, Reported* reported)
{
    return crsh_objc_enumerate_methods(
        image, cache,
        [](bool isClassMethod, crsh_objc_string* className, crsh_objc_string* methodName, crsh_vm_address_t imp,
           void* context) {
            const char* cls = "?";
            const char* method = "?";
            (void)crsh_objc_string_pointer(className, &cls);
            (void)crsh_objc_string_pointer(methodName, &method);
            static_cast<Reported*>(context)->methods.push_back(std::string(isClassMethod ? "+[" : "-[") + cls + " " +
                                                               method + "] " + std::to_string(imp));
        },
        reported);
}

TEST(CrashObjc, ClassicLayoutReportsClassesAndMetaclasses)
{
    for (bool swapped : {false, true}) {
        SCOPED_TRACE(swapped ? "swapped" : "host order");
        ClassicImage classic(swapped);
        if (!classic.ready)
            GTEST_SKIP() << "no room below 2 GiB";
        // Old: one instance list (info bit 0x4000); its metaclass has an array of lists ending at all-ones,
        // with a list after the end that must not be read.
        std::uint32_t oldName = classic.string("Old");
        std::uint32_t instanceList = classic.methodList({{"work", 0x1000}, {"rest:", 0x1100}});
        std::uint32_t makeList = classic.methodList({{"make", 0x1200}});
        std::uint32_t buildList = classic.methodList({{"build", 0x1300}});
        std::uint32_t neverList = classic.methodList({{"never", 0x1400}});
        std::uint32_t metaLists = classic.words({makeList, buildList, 0xFFFFFFFF, neverList, 0});
        std::uint32_t oldMeta = classic.classRecord(0, oldName, 0x2, metaLists);
        std::uint32_t oldClass = classic.classRecord(oldMeta, oldName, 0x4000 | 0x1, instanceList);
        // Older: an array of lists ending at 0; its metaclass has none. A category pointer follows it,
        // which the walk leaves alone.
        std::uint32_t olderName = classic.string("Older");
        std::uint32_t tickLists = classic.words({classic.methodList({{"tick", 0x1500}}), 0});
        std::uint32_t olderMeta = classic.classRecord(0, olderName, 0x2, 0);
        std::uint32_t olderClass = classic.classRecord(olderMeta, olderName, 0x1, tickLists);
        classic.module(0, 0); // no symbol table: skipped
        classic.module(1, classic.symtab({oldClass}, {}));
        classic.module(2, classic.symtab({olderClass}, {classic.unreadable()}));

        Cache cache;
        Reported reported;
        ASSERT_EQ(enumerate(&classic.image, &cache.cache, &reported), CRSH_ERR_NONE);
        EXPECT_EQ(reported.methods,
                  (std::vector<std::string>{"-[Old work] 4096", "-[Old rest:] 4352", "+[Old make] 4608",
                                            "+[Old build] 4864", "-[Older tick] 5376"}));
        EXPECT_FALSE(cache.cache.got_modern);
        Named named = lookup(&classic.image, &cache.cache, kObjc, 0x1204);
        EXPECT_EQ(named.name, "+[Old make]");
        EXPECT_EQ(named.address, 0x1200u);
        EXPECT_EQ(lookup(&classic.image, &cache.cache, kObjc, 0x2000).name, "-[Older tick]");
        EXPECT_EQ(lookup(&classic.image, &cache.cache, kObjc, 0xFFF).error, CRSH_ERR_NOT_FOUND);

        // A method count past the bound is invalid data, not a walk through readable memory.
        classic.set32(instanceList + 4, CRSH_OBJC_CLASSIC_MAX_METHODS + 1);
        Reported bounded;
        EXPECT_EQ(enumerate(&classic.image, &cache.cache, &bounded), CRSH_ERR_INVALID_DATA);
        classic.set32(instanceList + 4, 2);

        // Once a modern walk has succeeded with a cache, the classic layout is not probed again.
        Cache modern;
        modern.cache.got_modern = true;
        EXPECT_EQ(enumerate(&classic.image, &modern.cache, &reported), CRSH_ERR_NOT_FOUND);

        // A module section shorter than one module: no classic metadata (and no modern one either).
        classic.setSectionSize(8);
        ASSERT_TRUE(classic.ready);
        EXPECT_EQ(enumerate(&classic.image, &cache.cache, &reported), CRSH_ERR_NOT_FOUND);
    }
}

} // namespace
