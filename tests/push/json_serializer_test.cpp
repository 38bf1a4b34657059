#include "PushTest.h"

#include "push/PULSEJSONSerializer.h"

#include "platform/formats/JSON.h"
#include "platform/formats/KeyedArchiver.h"

#include <gtest/gtest.h>

using namespace push;
using platform::ArchiveArray;
using platform::ArchiveDictionary;
using platform::ArchiveSet;
using platform::ArchiveValue;
using platform::Dictionary;
using platform::Value;

namespace {

// A base class with one property and a derived one with a string, an integer and an object.
class Animal : public platform::KeyedArchivable {
public:
    std::string archiveClassName() const override { return "TestAnimal"; }
    void encodeWithCoder(platform::KeyedArchiver&) const override {}
    ArchiveValue legs;
};

class Dog : public Animal {
public:
    std::string archiveClassName() const override { return "TestDog"; }
    ArchiveValue name;
    ArchiveValue age;
    ArchiveValue friendObject;
};

template <class T>
PULSEJSONProperty property(std::string name, ArchiveValue T::*field) {
    return {name,
            [field](const platform::KeyedArchivable& o) {
                auto* typed = dynamic_cast<const T*>(&o);
                return typed ? typed->*field : ArchiveValue();
            },
            [field](platform::KeyedArchivable& o, const ArchiveValue& v) {
                if (auto* typed = dynamic_cast<T*>(&o))
                    typed->*field = v;
            }};
}

class JSONSerializer : public pushtest::PushTest {
protected:
    JSONSerializer() {
        PULSEJSONSerializer::setDataEncoding(PULSEDataEncoding::ISOLatin1);
        PULSEJSONSerializer::registerClass({"TestAnimal", "", [] { return std::make_shared<Animal>(); },
                                            {property<Animal>("legs", &Animal::legs)}});
        PULSEJSONSerializer::registerClass({"TestDog", "TestAnimal", [] { return std::make_shared<Dog>(); },
                                            {property<Dog>("name", &Dog::name), property<Dog>("age", &Dog::age),
                                             property<Dog>("friendObject", &Dog::friendObject)}});
    }
    ~JSONSerializer() override {
        PULSEJSONSerializer::unregisterClass("TestAnimal");
        PULSEJSONSerializer::unregisterClass("TestDog");
        PULSEJSONSerializer::setDataEncoding(PULSEDataEncoding::ISOLatin1);
    }

    static Value encode(const ArchiveValue& value) {
        auto json = PULSEJSONSerializer::getJSONDataFromObject(value);
        EXPECT_TRUE(json.ok());
        return json ? json.value() : Value();
    }
    // Through JSON text, as the files held it.
    static ArchiveValue throughText(const ArchiveValue& value) {
        auto text = platform::JSON::writeCompact(encode(value));
        EXPECT_TRUE(text.ok());
        return PULSEJSONSerializer::getObjectFromJSON(platform::JSON::parse(*text).value());
    }
};

const Dictionary kEmptyTypes;

} // namespace

TEST_F(JSONSerializer, NumbersAndStringsAtTheTopLevel) {
    EXPECT_EQ(encode(5), Value(Dictionary{{"hasCustomObject", 0}, {"numberObject", 5}, {"numberProperyTypes", kEmptyTypes}}));
    EXPECT_EQ(throughText(5), ArchiveValue(5));
    EXPECT_EQ(encode("hi"), Value(Dictionary{{"hasCustomObject", 0}, {"stringObject", "hi"}, {"numberProperyTypes", kEmptyTypes}}));
    EXPECT_EQ(throughText("hi"), ArchiveValue("hi"));
    EXPECT_EQ(throughText(true), ArchiveValue(true));
    EXPECT_TRUE(encode(ArchiveValue()).isNull());
    EXPECT_TRUE(PULSEJSONSerializer::getObjectFromJSON(Value()).isNull());
    EXPECT_TRUE(PULSEJSONSerializer::getObjectFromJSON(Value("x")).isNull());
}

TEST_F(JSONSerializer, ArraysStayPlainUnlessTheyHoldCustomContent) {
    ArchiveDictionary plain{{"list", ArchiveArray{"a", 1}}};
    EXPECT_EQ(encode(plain)["dictionaryObject"]["list"], Value(platform::Array{"a", 1}));

    ArchiveDictionary withSet{{"list", ArchiveArray{"a", ArchiveSet{"s"}}}};
    const Value list = encode(withSet)["dictionaryObject"]["list"];
    EXPECT_EQ(list["hasCustomObject"], Value(true));
    EXPECT_EQ(list["arrayObject"][0], Value("a"));
    EXPECT_EQ(list["arrayObject"][1], Value(Dictionary{{"hasCustomObject", false}, {"setObject", platform::Array{"s"}}}));
    EXPECT_EQ(throughText(withSet), ArchiveValue(withSet));

    ArchiveDictionary withData{{"list", ArchiveArray{platform::Bytes{1}}}};
    EXPECT_EQ(encode(withData)["dictionaryObject"]["list"]["hasCustomObject"], Value(true));
}

TEST_F(JSONSerializer, SetsAreAlwaysWrapped) {
    const Value set = encode(ArchiveSet{"x", "y"});
    EXPECT_EQ(set["hasCustomObject"], Value(false));
    EXPECT_EQ(set["setObject"].getArray()->size(), 2u);
    EXPECT_EQ(throughText(ArchiveSet{"x", "y"}), ArchiveValue(ArchiveSet{"x", "y"}));
    // Elements are decoded only when the set says it holds custom content.
    Value wrapped(Dictionary{{"hasCustomObject", true},
                             {"setObject", platform::Array{Dictionary{{"hasCustomObject", 0}, {"dataObject", "A"}}}}});
    EXPECT_EQ(PULSEJSONSerializer::getObjectFromJSON(wrapped), ArchiveValue(ArchiveSet{platform::Bytes{'A'}}));
}

TEST_F(JSONSerializer, DataGoesThroughDataObjectByteForByte) {
    platform::Bytes every;
    for (int i = 0; i < 256; ++i)
        every.push_back(static_cast<std::uint8_t>(i));
    const Value form = encode(every);
    EXPECT_EQ(form["hasCustomObject"], Value(0));
    EXPECT_TRUE(form["dataObject"].isString());
    EXPECT_EQ(throughText(every), ArchiveValue(every));

    // A character outside ISO 8859-1 decodes to nothing.
    EXPECT_TRUE(PULSEJSONSerializer::getObjectFromJSON(Value(Dictionary{{"dataObject", "\xe2\x82\xac"}})).isNull());
    // UTF-8 as the data encoding carries only bytes that are UTF-8.
    auto refused = PULSEJSONSerializer::getJSONDataFromObject(platform::Bytes{0xff}, PULSEDataEncoding::UTF8);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, PULSEJSONSerializer::kUnwritableDataError);
    EXPECT_EQ(PULSEJSONSerializer::dataEncoding(), PULSEDataEncoding::UTF8);
    EXPECT_EQ(throughText(platform::Bytes{'o', 'k'}), ArchiveValue(platform::Bytes{'o', 'k'}));
}

TEST_F(JSONSerializer, CustomObjectsCarryTheirClassAndProperties) {
    auto dog = std::make_shared<Dog>();
    dog->name = "Rex";
    dog->age = 3;
    dog->legs = 4;
    const Value form = encode(dog);
    EXPECT_EQ(form, Value(Dictionary{{"className", "TestDog"},
                                     {"name", "Rex"},
                                     {"age", 3},
                                     {"legs", 4},
                                     {"numberProperyTypes", kEmptyTypes}}));
    auto back = throughText(dog).objectOfClass<Dog>();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, ArchiveValue("Rex"));
    EXPECT_EQ(back->age, ArchiveValue(3));
    EXPECT_EQ(back->legs, ArchiveValue(4)); // an inherited property, set through the superclass
    EXPECT_TRUE(back->friendObject.isNull()); // a null property is left out and stays unset
    EXPECT_FALSE(form.getDictionary()->contains("friendObject"));
}

TEST_F(JSONSerializer, TypedNumbersGoThroughTheirTypeCode) {
    Value json(Dictionary{{"className", "TestDog"},
                          {"age", 300},
                          {"legs", -1},
                          {"numberProperyTypes", Dictionary{{"age", "C"}, {"legs", "I"}}}});
    auto dog = PULSEJSONSerializer::getObjectFromJSON(json).objectOfClass<Dog>();
    ASSERT_TRUE(dog);
    EXPECT_EQ(dog->age, ArchiveValue(44));          // unsigned 8-bit
    EXPECT_EQ(dog->legs, ArchiveValue(4294967295u)); // unsigned 32-bit
}

TEST_F(JSONSerializer, UnknownClassesAndUnknownFormsDecodeToNothing) {
    EXPECT_TRUE(PULSEJSONSerializer::getObjectFromJSON(Value(Dictionary{{"className", "NoSuchClass"}})).isNull());
    EXPECT_TRUE(PULSEJSONSerializer::getObjectFromJSON(Value(Dictionary{{"plain", 1}})).isNull());
    // Members of the wrong type read as nothing instead of crashing.
    for (const char* key : {"dictionaryObject", "arrayObject", "setObject", "dataObject"})
        EXPECT_TRUE(PULSEJSONSerializer::getObjectFromJSON(Value(Dictionary{{"hasCustomObject", 1}, {key, 5}})).isNull()) << key;
    // A member that names no property is ignored.
    auto dog = PULSEJSONSerializer::getObjectFromJSON(Value(Dictionary{{"className", "TestDog"}, {"tail", "long"}}));
    EXPECT_TRUE(dog.objectOfClass<Dog>());
}

TEST_F(JSONSerializer, ContainersAtTheTopLevelComeBack) {
    ArchiveValue array(ArchiveArray{"a", 1});
    EXPECT_EQ(throughText(array), array);
    ArchiveValue dictionary(ArchiveDictionary{{"k", "v"}, {"d", platform::Bytes{9}}});
    EXPECT_EQ(throughText(dictionary), dictionary);
}

TEST_F(JSONSerializer, ACycleGivesAnErrorValue) {
    auto a = std::make_shared<Dog>();
    auto b = std::make_shared<Dog>();
    a->friendObject = ArchiveValue(b);
    b->friendObject = ArchiveValue(a);
    auto json = PULSEJSONSerializer::getJSONDataFromObject(a);
    ASSERT_FALSE(json.ok());
    EXPECT_EQ(json.error().code, PULSEJSONSerializer::kTooDeepError);
    b->friendObject = ArchiveValue();

    // A registry whose superclasses loop ends too.
    PULSEJSONSerializer::registerClass({"TestAnimal", "TestDog", [] { return std::make_shared<Animal>(); }, {}});
    EXPECT_FALSE(PULSEJSONSerializer::getJSONDataFromObject(std::make_shared<Dog>()).ok());
}
