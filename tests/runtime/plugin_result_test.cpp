#include "runtime/HYBPluginResult.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace runtime;
using hybtest::LogCapture;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr auto kOk = HYBCommandStatus::Ok;

} // namespace

TEST(HYBPluginResult, EveryMessageKindHasItsJsonText) {
    EXPECT_EQ(HYBPluginResult().argumentsAsJSON(), "null");
    EXPECT_EQ(HYBPluginResult::resultWithStatus(kOk).argumentsAsJSON(), "null");
    EXPECT_EQ(HYBPluginResult::messageAsString(kOk, "abc").argumentsAsJSON(), "\"abc\"");
    EXPECT_EQ(HYBPluginResult::messageAsString(kOk, "a'b\"c</script>\n").argumentsAsJSON(), "\"a'b\\\"c<\\/script>\\n\"");
    EXPECT_EQ(HYBPluginResult::messageAsBool(kOk, true).argumentsAsJSON(), "true");
    EXPECT_EQ(HYBPluginResult::messageAsBool(kOk, false).argumentsAsJSON(), "false");
    EXPECT_EQ(HYBPluginResult::messageAsInt(kOk, -2147483647 - 1).argumentsAsJSON(), "-2147483648");
    EXPECT_EQ(HYBPluginResult::messageAsDouble(kOk, 2.5).argumentsAsJSON(), "2.5");
    EXPECT_EQ(HYBPluginResult::messageAsArray(kOk, Array{1, "x", nullptr}).argumentsAsJSON(), "[1,\"x\",null]");
    EXPECT_EQ(HYBPluginResult::messageAsDictionary(kOk, Dictionary{{"b", 1}, {"a", Array{}}}).argumentsAsJSON(),
              "{\"b\":1,\"a\":[]}");
    EXPECT_EQ(HYBPluginResult::messageAsArrayBuffer(kOk, platform::Bytes{0, 1, 2}).argumentsAsJSON(),
              "{\"HYBType\":\"ArrayBuffer\",\"data\":\"AAEC\"}");
    EXPECT_EQ(HYBPluginResult::messageToErrorObject(HYBCommandStatus::IOError, 5).argumentsAsJSON(), "{\"code\":5}");
}

TEST(HYBPluginResult, MultipartTurnsBytesIntoArrayBuffersAndKeepsTheRest) {
    HYBPluginResult result = HYBPluginResult::messageAsMultipart(kOk, Array{platform::Bytes{'a', 'b', 'c'}, "x", 5});
    const Value& messages = result.message()["messages"];
    ASSERT_EQ(messages.arrayOrEmpty().size(), 3u);
    EXPECT_EQ(messages[0], Value(Dictionary{{"HYBType", "ArrayBuffer"}, {"data", "YWJj"}}));
    EXPECT_EQ(messages[1], Value("x"));
    EXPECT_EQ(messages[2], Value(5));
    EXPECT_EQ(result.argumentsAsJSON(),
              "{\"HYBType\":\"MultiPart\",\"messages\":[{\"HYBType\":\"ArrayBuffer\",\"data\":\"YWJj\"},\"x\",5]}");
}

TEST(HYBPluginResult, UnwritableMessageStillGivesWellFormedNull) {
    LogCapture log;
    EXPECT_EQ(HYBPluginResult::messageAsArray(kOk, Array{platform::Bytes{1}}).argumentsAsJSON(), "null");
    EXPECT_EQ(HYBPluginResult::messageAsDouble(kOk, std::numeric_limits<double>::quiet_NaN()).argumentsAsJSON(), "null");
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(log.lines()[0].starts_with("NSArray JSONString error: ")) << log.lines()[0];
}

TEST(HYBPluginResult, StatusNamesKeepCallbackAndDefaults) {
    EXPECT_EQ(HYBPluginResult::statusName(HYBCommandStatus::NoResult), "No result");
    EXPECT_EQ(HYBPluginResult::statusName(HYBCommandStatus::Ok), "OK");
    EXPECT_EQ(HYBPluginResult::statusName(HYBCommandStatus::MalformedUrl), "Malformed url");
    EXPECT_EQ(HYBPluginResult::statusName(HYBCommandStatus::Error), "Error");
    EXPECT_EQ(static_cast<int>(HYBCommandStatus::Error), 9);
    HYBPluginResult result;
    EXPECT_EQ(result.status(), HYBCommandStatus::NoResult);
    EXPECT_FALSE(result.keepCallback());
    result.setKeepCallbackAsBool(true);
    EXPECT_TRUE(result.keepCallback());
    result.setAssociatedObject(std::string("mine"));
    EXPECT_EQ(std::any_cast<std::string>(result.associatedObject()), "mine");
    EXPECT_FALSE(HYBPluginResult::isVerbose());
}

TEST(HYBPluginResult, OldCallbackForms) {
    HYBPluginResult result = HYBPluginResult::messageAsInt(kOk, 7);
    result.setKeepCallbackAsBool(true);
    std::string json = "{\n  \"status\" : 1,\n  \"message\" : 7,\n  \"keepCallback\" : true\n}";
    EXPECT_EQ(result.toJSONString(), json);
    EXPECT_EQ(result.toSuccessCallbackString("cb1"), "hybrid.callbackSuccess('cb1'," + json + ");");
    EXPECT_EQ(HYBPluginResult::resultWithStatus(HYBCommandStatus::Error).toErrorCallbackString("cb2"),
              "hybrid.callbackError('cb2',{\n  \"status\" : 9,\n  \"message\" : null,\n  \"keepCallback\" : false\n});");

    LogCapture log;
    HYBPluginResult bad = HYBPluginResult::messageAsArray(kOk, Array{platform::Bytes{1}});
    EXPECT_FALSE(bad.toJSONString());
    EXPECT_EQ(bad.toSuccessCallbackString("cb"), "hybrid.callbackSuccess('cb',null);");
    ASSERT_FALSE(log.lines().empty());
    EXPECT_TRUE(log.lines()[0].starts_with("toJSONString error: "));
}

TEST(HYBPluginResult, VerboseFlagLogsTheOldForms) {
    LogCapture log;
    HYBPluginResult::setVerbose(true);
    (void)HYBPluginResult::messageAsBool(kOk, true).toSuccessCallbackString("id");
    HYBPluginResult::setVerbose(false);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(log.lines()[0].starts_with("PluginResult:toJSONString - {"));
    EXPECT_TRUE(log.lines()[1].starts_with("PluginResult toSuccessCallbackString: hybrid.callbackSuccess('id',"));
}
