// The command bodies as the loopback server receives them.
#include "CardPayFixture.h"

#include "cardpay/core/BCJsonService.h"
#include "platform/device/Reachability.h"
#include "platform/system/Device.h"
#include "platform/system/TimeZone.h"

using namespace cardpaytest;
using cardpay::BCMPService;

class CommandBodyTest : public CardPayFixture {};

TEST_F(CommandBodyTest, RulesCarriesTheBoundCardOrTheCardNumber) {
    m_service->postRulesRequestWithFlag("1", "card-7001", "1", "1");
    ASSERT_TRUE(waitForAnswers(1));
    m_service->postRulesRequestWithFlag("0", "6222020200112233445", "1", "1");
    ASSERT_TRUE(waitForAnswers(2));
    const auto rules = m_server.commands("rules");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].body, R"({"v":"1.4","cmd":"rules","params":{"first_pay_flag":"1","card":"card-7001","pay_type":"1","pay_mode":"1"}})");
    EXPECT_EQ(rules[1].body, R"({"v":"1.4","cmd":"rules","params":{"first_pay_flag":"0","pan":"6222020200112233445","pay_type":"1","pay_mode":"1"}})");
    EXPECT_EQ(m_service->currentCMD(), cardpay::kBCCmdRules);
}

TEST_F(CommandBodyTest, ValuesTheCoreWritesAreEscaped) {
    const std::string id = "ab\"c\\d\",\"pay_mode\":\"9";
    m_service->postUnBindCardRequestWithCardId(id);
    ASSERT_TRUE(waitForAnswers(1));
    m_service->postModifyPhoneRequestWithCard("x\ny");
    ASSERT_TRUE(waitForAnswers(2));
    m_service->postPromotionScore("point", std::string("u\"1"));
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_TRUE(m_server.malformed().empty());
    const auto commands = m_server.commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].body, R"({"v":"1.4","cmd":"unbindcard","params":{"card":"ab\"c\\d\",\"pay_mode\":\"9"}})");
    EXPECT_EQ(commands[0].params.size(), 1u);
    EXPECT_EQ(commands[0].params["card"], platform::Value(id));
    EXPECT_EQ(commands[1].params["card"], platform::Value("x\ny"));
    EXPECT_EQ(commands[2].params["uuid"], platform::Value("u\"1"));
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventPoints);
    EXPECT_EQ(m_service->currentCMD(), cardpay::kBCCmdPoints);
}

TEST_F(CommandBodyTest, InitSendsTheDeviceDescriptionInOrder) {
    platform::Device::current().setSystemVersion("9.0");
    platform::TimeZone::setSystemName("Asia/Shanghai");
    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsIsWWAN);
    m_service->postInitRequest(cardpay::BCInitInfo::current());
    ASSERT_TRUE(waitForAnswers(1));
    platform::Reachability::setOverrideFlags(std::nullopt);
    platform::TimeZone::setSystemName(std::nullopt);
    const auto init = m_server.commands("init");
    ASSERT_EQ(init.size(), 1u);
    const std::vector<std::string> names{"tn", "uid", "locale", "terminalVersion", "terminalResolution", "osName",
                                         "osVersion", "deviceMode", "terminalType", "timeZone", "networkMode"};
    EXPECT_EQ(init[0].params.keys(), names);
    EXPECT_EQ(init[0].params["tn"], platform::Value("201712010001"));
    EXPECT_EQ(init[0].params["uid"], platform::Value(""));
    EXPECT_EQ(init[0].params["terminalVersion"], platform::Value("3.3.0"));
    EXPECT_EQ(init[0].params["terminalResolution"], platform::Value("750*1334"));
    EXPECT_EQ(init[0].params["osName"], platform::Value("iOS"));
    EXPECT_EQ(init[0].params["terminalType"], platform::Value("2"));
    EXPECT_EQ(init[0].params["timeZone"], platform::Value("Asia/Shanghai (CST) offset 28800"));
    EXPECT_EQ(init[0].params["networkMode"], platform::Value("mobile"));
    EXPECT_EQ(m_service->currentCMD(), cardpay::kBCCmdInit);
    // The sample has no "update_info": init done without upgrade.
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventInitDone);
}

TEST_F(CommandBodyTest, EmptyParametersAndSmsFlag) {
    m_service->postBingoPromotionRequest();
    ASSERT_TRUE(waitForAnswers(1));
    m_service->postSmsRequestWithFlag("1", R"("mobile":"13800000000")");
    ASSERT_TRUE(waitForAnswers(2));
    const auto commands = m_server.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].body, R"({"v":"1.4","cmd":"bingopromotion","params":{}})");
    EXPECT_EQ(commands[1].body, R"({"v":"1.4","cmd":"sms","params":{"first_pay_flag":"1","mobile":"13800000000"}})");
    EXPECT_EQ(lastAnswer().code, cardpay::kBCEventSmsSent);
}

TEST_F(CommandBodyTest, AParameterTextThatBreaksTheBodyIsNotSent) {
    for (const char* text : {R"("a":"b"},"x":{"c":"d")", R"("a":)", R"("a":"b")" "}"}) {
        const std::size_t before = m_delegate->answers.size();
        m_service->postGetUserInfoRequestWithParams(text);
        ASSERT_TRUE(waitForAnswers(before + 1));
        EXPECT_TRUE(lastAnswer().failure);
        EXPECT_EQ(lastAnswer().code, cardpay::kBCFailureSystem);
    }
    EXPECT_TRUE(m_server.commands().empty());
}

TEST(CardPayJsonService, MembersOnlyEscapeWhatJSONNeeds) {
    EXPECT_EQ(cardpay::BCJsonService::member("card", "62/22 中文"), R"("card":"62/22 中文")");
    EXPECT_EQ(cardpay::BCJsonService::member("a\"b", "\\\x01"), R"("a\"b":"\\\u0001")");
}
