#include "platform/formats/KeyedArchiver.h"

#include "platform/core/SeededHash.h"
#include "platform/formats/PropertyList.h"

#include "support/HostilePropertyLists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include <memory>
#include <string>
#include <vector>

using namespace platform;

namespace {

// A small archivable record with a nested object, registered for the whole test program.
class Point : public KeyedArchivable {
public:
    Point(std::int64_t x, std::string label) : x(x), label(std::move(label)) {}
    explicit Point(const KeyedUnarchiver& coder)
        : x(coder.decodeInt64("x", -1)), label(coder.decodeString("label").value_or("?")),
          next(coder.decodeObjectOfClass<Point>("next")), extra(coder.decodeObject("extra")) {}

    std::string archiveClassName() const override { return "TestPoint"; }
    void encodeWithCoder(KeyedArchiver& coder) const override {
        coder.encode("x", x);
        coder.encode("label", label);
        coder.encode("next", next);
        coder.encode("extra", extra);
    }
    bool isEqualTo(const KeyedArchivable& other) const override {
        auto* point = dynamic_cast<const Point*>(&other);
        return point && point->x == x && point->label == label;
    }
    std::size_t equalityHash() const override { return SeededHash()(x) ^ SeededHash()(label); }

    std::int64_t x;
    std::string label;
    std::shared_ptr<Point> next;
    ArchiveValue extra;
};

class Other : public KeyedArchivable {
public:
    Other() = default;
    explicit Other(const KeyedUnarchiver&) {}
    std::string archiveClassName() const override { return "TestOther"; }
    void encodeWithCoder(KeyedArchiver&) const override {}
};

// A class that archives under a name no one registered.
class Stranger : public KeyedArchivable {
public:
    std::string archiveClassName() const override { return "TestStranger"; }
    void encodeWithCoder(KeyedArchiver& coder) const override { coder.encode("secret", 7); }
};

const bool registered = [] {
    KeyedArchiver::registerClass<Point>("TestPoint");
    KeyedArchiver::registerClass<Other>("TestOther");
    // Refuses archives without an "x".
    KeyedArchiver::registerClass("TestPicky", [](const KeyedUnarchiver& coder) -> std::unique_ptr<KeyedArchivable> {
        if (!coder.containsValueForKey("x"))
            return nullptr;
        return std::make_unique<Point>(coder);
    });
    return true;
}();

class Picky : public Point {
public:
    using Point::Point;
    std::string archiveClassName() const override { return "TestPicky"; }
};

ArchiveValue roundTrip(const ArchiveValue& value, std::vector<std::string>* dropped = nullptr) {
    auto bytes = KeyedArchiver::archivedData(value);
    EXPECT_TRUE(bytes.ok()) << bytes.error().localizedDescription();
    if (!bytes)
        return {};
    auto back = KeyedUnarchiver::unarchive(*bytes, dropped);
    EXPECT_TRUE(back.ok()) << back.error().localizedDescription();
    return back ? back.value() : ArchiveValue();
}

ArchiveDictionary everyKind() {
    return ArchiveDictionary{
        {"null", ArchiveValue()},
        {"bool", true},
        {"int", std::int64_t{-9007199254740993}},
        {"double", 2.5},
        {"string", "grüße"},
        {"bytes", Bytes{0, 1, 0xff}},
        {"date", Date{1700000000.25}},
        {"array", ArchiveArray{1, "two", ArchiveValue(), ArchiveArray{}}},
        {"dict", ArchiveDictionary{{"inner", ArchiveDictionary{}}}},
        {"set", ArchiveSet{"a", 1, 1.0, true}},
    };
}

} // namespace

TEST(ArchiveValue, SetsHoldDistinctValuesAndCompareByContent) {
    ArchiveSet set{"a", "b"};
    EXPECT_FALSE(set.insert("a"));
    EXPECT_TRUE(set.insert(1));
    EXPECT_TRUE(set.insert(true)); // bool stays apart from 1
    EXPECT_EQ(set.size(), 4u);
    EXPECT_TRUE(set.remove("a"));
    EXPECT_FALSE(set.contains("a"));
    EXPECT_TRUE(set.contains(1));
    EXPECT_EQ((ArchiveSet{1, 2, 3}), (ArchiveSet{3, 2, 1}));
    EXPECT_EQ(ArchiveValue(ArchiveSet{1, 2}).hash(), ArchiveValue(ArchiveSet{2, 1}).hash());
    EXPECT_NE((ArchiveSet{1, 2}), (ArchiveSet{1, 3}));
    // Text the library's fixed hash maps to one value, and objects of one class equal only to
    // themselves: held apart and found again, each by a hash of its own.
    ArchiveSet many;
    const std::vector<std::string> keys = hybtest::stdHashCollidingKeys(2048, 64);
    std::vector<std::shared_ptr<Other>> objects(2048);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        objects[i] = std::make_shared<Other>();
        ASSERT_TRUE(many.insert(keys[i]));
        ASSERT_TRUE(many.insert(objects[i]));
    }
    EXPECT_FALSE(many.insert(keys[1000]));
    EXPECT_FALSE(many.insert(objects[1000]));
    EXPECT_FALSE(many.contains(std::make_shared<Point>(1, "p")));
    EXPECT_EQ(many.size(), 4096u);

    // A NaN real equals nothing, itself included, and all NaNs of one shape share their hash: each is
    // added, none is found, and the values that are found stay found beside them. An archive of 131,072
    // references to one NaN (half a megabyte) reads whole; searched through one chain, it took 52 s.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ArchiveSet odd{nan, ArchiveArray{nan}, 1.5};
    EXPECT_TRUE(odd.insert(nan));
    EXPECT_TRUE(odd.insert(ArchiveArray{nan}));
    EXPECT_FALSE(odd.insert(1.5));
    EXPECT_FALSE(odd.contains(nan));
    EXPECT_EQ(odd.size(), 5u);
    EXPECT_TRUE(odd.remove(1.5));
    EXPECT_FALSE(odd.remove(nan));
    EXPECT_EQ(odd.size(), 4u);
    Value reals(Array(131072, Value(nan)));
    reals.getArray()->push_back(Value(2.5));
    reals.getArray()->push_back(Value(2.5));
    const auto archive = PropertyList::write(
        Value(Dictionary{{"$archiver", "KeyedArchiver"}, {"$version", 1}, {"$top", Dictionary{{"$set", reals}}}}), PropertyList::Format::Binary);
    ASSERT_TRUE(archive.ok());
    EXPECT_LT(archive->size(), 600u * 1024);
    const auto read = KeyedUnarchiver::unarchive(bytesOf(*archive));
    ASSERT_TRUE(read.ok()) << read.error().localizedDescription();
    ASSERT_TRUE(read->isSet());
    EXPECT_EQ(read->getSet()->size(), 131073u);
    EXPECT_TRUE(read->getSet()->contains(2.5));
}

TEST(ArchiveValue, ConvertsToPlainValuesOnlyWithoutSetsAndObjects) {
    Value plain(Dictionary{{"a", Array{1, "x", Bytes{2}}}, {"b", Value()}});
    ArchiveValue archived(plain);
    ASSERT_TRUE(archived.toValue().has_value());
    EXPECT_EQ(*archived.toValue(), plain);
    EXPECT_FALSE(ArchiveValue(ArchiveArray{ArchiveSet{1}}).toValue().has_value());
    EXPECT_FALSE(ArchiveValue(ArchiveDictionary{{"p", std::make_shared<Point>(1, "p")}}).toValue().has_value());

    // A large dictionary whose keys come in falling order converts whole and sorted: each put in its
    // place one after another, 100,000 of them took 27 s.
    Dictionary falling;
    for (int i = 100000; i > 0; --i)
        falling.set("k" + std::to_string(1000000 + i), i);
    const ArchiveValue sorted(falling);
    ASSERT_TRUE(sorted.isDictionary());
    EXPECT_EQ(sorted.getDictionary()->size(), 100000u);
    EXPECT_TRUE(std::is_sorted(sorted.getDictionary()->begin(), sorted.getDictionary()->end(),
                               [](const auto& a, const auto& b) { return a.key < b.key; }));
    EXPECT_EQ((*sorted.getDictionary())["k1000007"], ArchiveValue(7));
    EXPECT_EQ(*sorted.toValue(), Value(falling));
    // Set all at once as one after another: of a key given twice the later wins, over one there before.
    ArchiveDictionary merged{{"b", 1}, {"d", 2}};
    merged.setAll({{"c", 3}, {"b", 4}, {"a", 5}, {"c", 6}});
    EXPECT_EQ(merged, (ArchiveDictionary{{"a", 5}, {"b", 4}, {"c", 6}, {"d", 2}}));
    merged.setAll({});
    EXPECT_EQ(merged.size(), 4u);
}

TEST(ArchiveValue, ObjectsAreSharedAndCompareThroughTheirClass) {
    auto point = std::make_shared<Point>(1, "p");
    ArchiveValue a(point), b(std::make_shared<Point>(1, "p")), c(std::make_shared<Point>(2, "p"));
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a.hash(), b.hash());
    ArchiveValue copy = a;
    point->x = 5;
    EXPECT_EQ(copy.objectOfClass<Point>()->x, 5);
    EXPECT_EQ(a.objectOfClass<Other>(), nullptr);
    EXPECT_TRUE(ArchiveValue(std::shared_ptr<Point>()).isNull());
}

TEST(KeyedArchiver, EveryKindOfValueComesBack) {
    ArchiveValue tree(everyKind());
    EXPECT_EQ(roundTrip(tree), tree);
    for (const auto& entry : everyKind())
        EXPECT_EQ(roundTrip(entry.value), entry.value) << entry.key;
    EXPECT_EQ(roundTrip(ArchiveValue()), ArchiveValue());
}

TEST(KeyedArchiver, ObjectsComeBackWithTheirFieldsAndNestedObjects) {
    auto head = std::make_shared<Point>(1, "head");
    head->next = std::make_shared<Point>(2, "tail");
    head->extra = ArchiveSet{"x", ArchiveValue(std::make_shared<Other>())};
    auto back = roundTrip(ArchiveDictionary{{"point", head}});
    auto point = back.getDictionary()->find("point")->objectOfClass<Point>();
    ASSERT_TRUE(point);
    EXPECT_EQ(point->x, 1);
    EXPECT_EQ(point->label, "head");
    ASSERT_TRUE(point->next);
    EXPECT_EQ(point->next->label, "tail");
    EXPECT_EQ(point->next->next, nullptr);
    ASSERT_TRUE(point->extra.isSet());
    EXPECT_EQ(point->extra.getSet()->size(), 2u);
}

TEST(KeyedArchiver, TheLengthIsThatOfTheBytes) {
    ArchiveValue tree(everyKind());
    EXPECT_EQ(KeyedArchiver::archivedLength(tree).value(), KeyedArchiver::archivedData(tree).value().size());
    auto a = std::make_shared<Point>(1, "a");
    a->next = a;
    EXPECT_FALSE(KeyedArchiver::archivedLength(ArchiveValue(a)).ok());
    a->next.reset();
}

TEST(KeyedArchiver, TheBytesDoNotDependOnInsertionOrder) {
    ArchiveDictionary a, b;
    a.set("x", 1);
    a.set("y", 2);
    b.set("y", 2);
    b.set("x", 1);
    EXPECT_EQ(KeyedArchiver::archivedData(a).value(), KeyedArchiver::archivedData(b).value());
}

TEST(KeyedArchiver, UnknownAndRefusedClassesReadAsNullAndTheRestStays) {
    ArchiveDictionary table{{"keep", "me"},
                            {"stranger", std::make_shared<Stranger>()},
                            {"picky", std::make_shared<Picky>(3, "ok")},
                            {"list", ArchiveArray{std::make_shared<Stranger>(), 4}}};
    std::vector<std::string> dropped;
    auto back = roundTrip(table, &dropped);
    const ArchiveDictionary& entries = *back.getDictionary();
    EXPECT_EQ(entries["keep"], ArchiveValue("me"));
    EXPECT_TRUE(entries.contains("stranger"));
    EXPECT_TRUE(entries["stranger"].isNull());
    EXPECT_EQ(entries["picky"].objectOfClass<Point>()->x, 3);
    EXPECT_EQ(entries["list"], ArchiveValue(ArchiveArray{ArchiveValue(), 4}));
    EXPECT_EQ(dropped, (std::vector<std::string>{"TestStranger", "TestStranger"}));

    // The factory that refuses: a picky point whose archive lacks "x".
    class NoX : public Picky {
    public:
        using Picky::Picky;
        void encodeWithCoder(KeyedArchiver& coder) const override { coder.encode("label", label); }
    };
    dropped.clear();
    EXPECT_TRUE(roundTrip(ArchiveValue(std::make_shared<NoX>(1, "l")), &dropped).isNull());
    EXPECT_EQ(dropped, std::vector<std::string>{"TestPicky"});
}

TEST(KeyedArchiver, ValuesOfAnotherTypeUnderAKeyGiveTheFallback) {
    ArchiveDictionary fields{{"x", "not a number"}, {"label", 5}, {"next", std::make_shared<Other>()}};
    KeyedUnarchiver coder(fields);
    Point point(coder);
    EXPECT_EQ(point.x, -1);
    EXPECT_EQ(point.label, "?");
    EXPECT_EQ(point.next, nullptr);
    EXPECT_EQ(coder.decodeDouble("missing", 1.5), 1.5);
    EXPECT_EQ(coder.decodeBool("x", true), true);
    ArchiveDictionary numbers{{"i", 3}, {"b", false}};
    EXPECT_EQ(KeyedUnarchiver(numbers).decodeDouble("i"), 3.0);
    EXPECT_EQ(KeyedUnarchiver(numbers).decodeInt64("b", 9), 9);
}

TEST(KeyedArchiver, ACycleOfObjectsIsAnErrorNotEndlessRecursion) {
    auto a = std::make_shared<Point>(1, "a");
    auto b = std::make_shared<Point>(2, "b");
    a->next = b;
    b->next = a;
    auto bytes = KeyedArchiver::archivedData(ArchiveValue(a));
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().domain, kKeyedArchiveErrorDomain);
    EXPECT_EQ(bytes.error().code, KeyedArchiver::kTooDeep);
    b->next.reset(); // let the pair go
}

TEST(KeyedArchiver, WhatAPropertyListCannotHoldIsNotWritten) {
    auto bytes = KeyedArchiver::archivedData(ArchiveDictionary{{std::string("a\0b", 3), 1}});
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().code, KeyedArchiver::kNotWritable);
    EXPECT_FALSE(KeyedArchiver::archivedData(ArchiveValue(std::string("\xff\xfe"))).ok());
}

TEST(KeyedUnarchiver, AnythingElseIsAnError) {
    auto expectNotAnArchive = [](const std::string& bytes) {
        auto result = KeyedUnarchiver::unarchive(bytesOf(bytes));
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().domain, kKeyedArchiveErrorDomain);
    };
    expectNotAnArchive("");
    expectNotAnArchive("not a property list");
    expectNotAnArchive(*PropertyList::write(Value(Dictionary{{"a", 1}}), PropertyList::Format::Binary));
    // Right envelope, node of no known form.
    Dictionary envelope{{"$archiver", "KeyedArchiver"}, {"$version", 1}, {"$top", Dictionary{{"$what", 1}}}};
    expectNotAnArchive(*PropertyList::write(Value(envelope), PropertyList::Format::Binary));
    envelope.set("$top", Dictionary{{"$class", "TestPoint"}, {"$fields", 3}});
    expectNotAnArchive(*PropertyList::write(Value(envelope), PropertyList::Format::Binary));
    envelope.set("$top", Dictionary{{"$set", "no"}});
    expectNotAnArchive(*PropertyList::write(Value(envelope), PropertyList::Format::Binary));
    envelope.set("$version", 2);
    envelope.set("$top", 1);
    expectNotAnArchive(*PropertyList::write(Value(envelope), PropertyList::Format::Binary));
}

TEST(KeyedUnarchiver, TruncatedAndFlippedArchivesNeverCrash) {
    auto head = std::make_shared<Point>(1, "head");
    head->extra = ArchiveArray{ArchiveSet{1, 2}, Bytes{1, 2, 3}};
    const Bytes bytes = KeyedArchiver::archivedData(ArchiveDictionary{{"p", head}, {"all", everyKind()}}).value();
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        auto result = KeyedUnarchiver::unarchive(ByteSpan(bytes.data(), length));
        EXPECT_FALSE(result.ok()) << length;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        Bytes flipped = bytes;
        flipped[i] ^= 0x5a;
        (void)KeyedUnarchiver::unarchive(flipped); // any answer but a crash
    }
}

TEST(KeyedUnarchiver, NestingDeeperThanTheBoundIsAnError) {
    ArchiveValue deep = 1;
    for (int i = 0; i < KeyedArchiver::kMaxDepth + 5; ++i)
        deep = ArchiveArray{deep};
    EXPECT_EQ(KeyedArchiver::archivedData(deep).error().code, KeyedArchiver::kTooDeep);

    Value node = 1;
    for (int i = 0; i < KeyedArchiver::kMaxDepth + 5; ++i)
        node = Array{node};
    Dictionary envelope{{"$archiver", "KeyedArchiver"}, {"$version", 1}, {"$top", node}};
    auto text = PropertyList::write(Value(envelope), PropertyList::Format::Binary);
    ASSERT_TRUE(text.ok());
    auto result = KeyedUnarchiver::unarchive(bytesOf(*text));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, KeyedArchiver::kTooDeep);
}
