#include "runtime/HYBInvokedUrlCommand.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace runtime;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {
Value arrayBuffer(const char* data) {
    return Value(Dictionary{{"HYBType", "ArrayBuffer"}, {"data", data}});
}
} // namespace

TEST(HYBInvokedUrlCommand, ReadsTheFourFieldsAndNullCallbackId) {
    auto command = HYBInvokedUrlCommand::commandFromJson(Value(Array{nullptr, "Device", "getDeviceInfo", Array{}}));
    ASSERT_TRUE(command);
    EXPECT_FALSE(command->callbackId());
    EXPECT_EQ(command->className(), "Device");
    EXPECT_EQ(command->methodName(), "getDeviceInfo");
    EXPECT_TRUE(command->arguments().empty());

    auto withId = HYBInvokedUrlCommand::commandFromJson(Value(Array{"Device1", "Device", "x", Array{1}, "extra"}));
    ASSERT_TRUE(withId);
    EXPECT_EQ(withId->callbackId(), "Device1");
    EXPECT_EQ(withId->arguments(), (Array{1}));
}

TEST(HYBInvokedUrlCommand, MalformedEntriesAreDroppedNotReadPastTheirEnd) {
    const Value malformed[] = {
        Value(Array{}),
        Value(Array{"id", "Device", "x"}),
        Value("not an entry"),
        Value(Dictionary{{"0", "id"}}),
        Value(Array{"id", 5, "x", Array{}}),
        Value(Array{"id", "Device", nullptr, Array{}}),
        Value(Array{"id", "Device", Array{"x"}, Array{}}),
        Value(Array{true, "Device", "x", Array{}}),
        Value(Array{"id", "Device", "x", "args"}),
        Value(Array{"id", "Device", "x", nullptr}),
    };
    for (const Value& entry : malformed) {
        hybtest::LogCapture log;
        EXPECT_FALSE(HYBInvokedUrlCommand::commandFromJson(entry)) << entry.description();
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.lines()[0].starts_with("ERROR: Command entry dropped")) << log.lines()[0];
    }
}

TEST(HYBInvokedUrlCommand, TopLevelArrayBuffersBecomeBytes) {
    Value nested(Array{arrayBuffer("AAEC")});
    HYBInvokedUrlCommand command(Array{arrayBuffer("AAEC"), "x", nested, arrayBuffer("!!"),
                                       Value(Dictionary{{"HYBType", "ArrayBuffer"}}),
                                       Value(Dictionary{{"HYBType", "Other"}, {"data", "AAEC"}})},
                                 "cb", "S", "a");
    const Array& args = command.arguments();
    EXPECT_EQ(args[0], Value(platform::Bytes{0, 1, 2}));
    EXPECT_EQ(args[1], Value("x"));
    EXPECT_EQ(args[2], nested) << "nested ArrayBuffers are not examined";
    EXPECT_EQ(args[3], Value(platform::Bytes{})) << "undecodable data still gives bytes";
    EXPECT_TRUE(args[4].isDictionary()) << "no data entry: kept";
    EXPECT_TRUE(args[5].isDictionary());
}

TEST(HYBInvokedUrlCommand, NonTextArrayBufferDataGivesEmptyBytes) {
    HYBInvokedUrlCommand command(Array{Value(Dictionary{{"HYBType", "ArrayBuffer"}, {"data", 12}})}, "cb", "S", "a");
    EXPECT_EQ(command.arguments()[0], Value(platform::Bytes{}));
}

TEST(HYBInvokedUrlCommand, ArgumentDefaultsForOutOfRangeNullAndWrongClass) {
    HYBInvokedUrlCommand command(Array{"text", nullptr, 5, true, 2.5, Array{}, Dictionary{}}, "cb", "S", "a");
    EXPECT_EQ(command.argumentAtIndex(0), Value("text"));
    EXPECT_EQ(command.argumentAtIndex(0, "d", HYBArgumentClass::Number), Value("d"));
    EXPECT_EQ(command.argumentAtIndex(0, "d", HYBArgumentClass::String), Value("text"));
    EXPECT_EQ(command.argumentAtIndex(1, "d"), Value("d"));
    EXPECT_TRUE(command.argumentAtIndex(1).isNull());
    EXPECT_EQ(command.argumentAtIndex(7, 9), Value(9));
    EXPECT_EQ(command.argumentAtIndex(static_cast<std::size_t>(-1), 9), Value(9));
    EXPECT_EQ(command.argumentAtIndex(2, 0, HYBArgumentClass::Number), Value(5));
    EXPECT_EQ(command.argumentAtIndex(3, 0, HYBArgumentClass::Number), Value(true));
    EXPECT_EQ(command.argumentAtIndex(4, 0, HYBArgumentClass::Number), Value(2.5));
    EXPECT_EQ(command.argumentAtIndex(5, 0, HYBArgumentClass::Dictionary), Value(0));
    EXPECT_EQ(command.argumentAtIndex(5, 0, HYBArgumentClass::Array), Value(Array{}));
    EXPECT_EQ(command.argumentAtIndex(6, 0, HYBArgumentClass::Dictionary), Value(Dictionary{}));
    EXPECT_EQ(command.argumentAtIndex(2, 0, HYBArgumentClass::Data), Value(0));
}
