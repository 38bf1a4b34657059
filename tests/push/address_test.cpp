// Server addresses (shape test, ports, wrap URLs, equality), the lookup request's bytes and the reader
// of the lookup service's replies, with what each reply stores.
#include "PushTest.h"

#include "push/PULSEAddress.h"
#include "push/PULSEAddressController.h"
#include "push/PULSEEndpoints.h"

#include "platform/net/NetworkInfo.h"

namespace {

using push::PULSEAddress;
using push::PULSEAddressController;
using push::PULSELookupResult;

TEST(PULSEAddressTest, PortsAndTheShapeTest) {
    EXPECT_EQ(PULSEAddress::initWithString("10.0.0.1")->port(), 80);
    EXPECT_EQ(PULSEAddress::initWithString("10.0.0.1:0")->port(), 80);
    EXPECT_EQ(PULSEAddress::initWithString("10.0.0.1:70000")->port(), 4464);
    EXPECT_EQ(PULSEAddress::initWithString("10.0.0.1:9001")->absoluteString(), "10.0.0.1:9001");
    EXPECT_EQ(PULSEAddress::initWithString("10.0.0.1:7000:9")->port(), 7000);

    EXPECT_FALSE(PULSEAddress::initWithString("10.0.256.1:80"));
    EXPECT_FALSE(PULSEAddress::initWithString("10.0.1:80"));
    EXPECT_FALSE(PULSEAddress::initWithString("10.0.0.1.5:80"));
    EXPECT_FALSE(PULSEAddress::initWithString(":80"));
    EXPECT_FALSE(PULSEAddress::initWithString(""));
    // Pieces without digits count as 0: a shape test, not a parser.
    auto letters = PULSEAddress::initWithString("a.b.c.d:80");
    ASSERT_TRUE(letters);
    EXPECT_EQ(letters->host(), "a.b.c.d");
    EXPECT_FALSE(PULSEAddress::p_addressVerify("1.2.3.4", 0));
    EXPECT_TRUE(PULSEAddress::p_addressVerify("255.255.255.255", 1));

    EXPECT_EQ(push::PULSEIntValue("  -12x"), -12);
    EXPECT_EQ(push::PULSEIntValue("99999999999"), INT32_MAX);
    EXPECT_EQ(push::PULSEIntValue("x1"), 0);
}

TEST(PULSEAddressTest, EqualityDictionaryFormAndWrapURLs) {
    auto a = *PULSEAddress::initWithString("1.2.3.4:80");
    EXPECT_TRUE(a == *PULSEAddress::initWithString("1.2.3.4"));
    EXPECT_FALSE(a == *PULSEAddress::initWithString("1.2.3.4:81"));
    EXPECT_FALSE(a == *PULSEAddress::initWithString("1.2.3.5:80"));

    auto back = PULSEAddress::initWithDictionary(a.infoDictionary());
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == a);
    EXPECT_FALSE(PULSEAddress::initWithDictionary(platform::Dictionary{{PULSEAddress::kHostKey, ""}}));
    EXPECT_EQ(PULSEAddress::initWithDictionary(platform::Dictionary{{PULSEAddress::kHostKey, "1.2.3.4"}})->port(), 80);

    auto wrapped = PULSEAddress::initWithString("1.2.3.4:8080", "http://stats.example.invalid/v2/report");
    EXPECT_EQ(wrapped->httpWrapAddress(), "http://1.2.3.4:8080/v2/report");
    auto bare = PULSEAddress::initWithString("1.2.3.4:8080", "http://stats.example.invalid");
    EXPECT_EQ(bare->httpWrapAddress(), "http://1.2.3.4:8080");
    EXPECT_FALSE(PULSEAddress::initWithString("1.2.3:8080", "http://h/p"));
    EXPECT_EQ(PULSEAddress::analyseResourcePath("h/x/y"), "/x/y");
    EXPECT_EQ(PULSEAddress::analyseResourcePath(""), std::nullopt);
}

class AddressLookup : public pushtest::PushTest {
protected:
    AddressLookup() { m_identity = installIdentity("0123456789abcdef01234567"); }

    std::optional<PULSELookupResult> parse(const std::string& reply) {
        return m_controller.parse(platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size()));
    }

    std::shared_ptr<push::PULSEUserDefaultsController> m_identity;
    std::shared_ptr<PULSEAddressController> m_controllerHolder = PULSEAddressController::create();
    PULSEAddressController& m_controller = *m_controllerHolder;
};

TEST_F(AddressLookup, RequestBytes) {
    m_identity->setUid(0x12345678ABull, "pw", "reg");
    auto request = PULSEAddressController::requestData();
    // No carrier: "-1" over bytes 4 and 5, then the uid's low byte and four zeros.
    const std::uint8_t head[] = {0x80, 0x00, 0x55, 0x46, '-', '1', 0xAB, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(std::begin(head), std::end(head), request.begin()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&request[42]), 24), "0123456789abcdef01234567");
    EXPECT_EQ(request[42 + 24], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&request[92]), 5), "2.1.0");
    EXPECT_TRUE(std::all_of(request.begin() + 97, request.end(), [](std::uint8_t b) { return b == 0; }));

    // A long carrier name is cut to its 38 bytes and never reaches the app key.
    platform::NetworkInfo::current().setCarrier(platform::NetworkInfo::Carrier{std::string(60, 'c'), {}, {}});
    request = PULSEAddressController::requestData();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&request[4]), 38), std::string(38, 'c'));
    EXPECT_EQ(request[42], '0');
}

TEST_F(AddressLookup, AWellFormedReplyGivesTheResultAndStoresTheAddresses) {
    auto result = parse(R"({"user":"10.0.0.5:8081","ips":["10.0.0.1:7000","10.0.0.2:7000","10.0.0.3:8080"],)"
                        R"("udp_report":["10.0.0.4:9001"],"op_conns":[]})");
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (PULSELookupResult{"10.0.0.1:7000", "10.0.0.4:9001", {}}));
    EXPECT_EQ(m_identity->defaultConAddress(), "10.0.0.2:7000");
    EXPECT_EQ(m_identity->backupUdpReportAddress(), "10.0.0.4:9001");
    EXPECT_EQ(m_identity->backupHttpReportAddress(), "http://10.0.0.3:8080/v2/report");
    EXPECT_EQ(m_identity->backupUserReportAddress(), "http://10.0.0.5:8081/v1/user/");
    EXPECT_EQ(m_controller.httpReportAddress(), "http://10.0.0.3:8080/v2/report");
    EXPECT_EQ(m_controller.userReportAddress(), "http://10.0.0.5:8081/v1/user/");
    EXPECT_EQ(PULSEAddressController::defaultConnectAddress(), "10.0.0.2:7000");
    EXPECT_EQ(PULSEAddressController::defaultReportAddress(), "10.0.0.4:9001");

    // An address that does not verify empties the field and removes the stored URL.
    m_controller.setHttpReportAddress("10.0.3:8080");
    EXPECT_EQ(m_controller.httpReportAddress(), std::nullopt);
    EXPECT_EQ(m_identity->backupHttpReportAddress(), std::nullopt);
    m_controller.setUserReportAddress("");
    EXPECT_EQ(m_controller.userReportAddress(), "http://10.0.0.5:8081/v1/user/");
}

TEST_F(AddressLookup, IncompleteRepliesKeepWhatTheyStored) {
    const std::string before = m_identity->defaultConAddress();
    // Two "ips" elements: nothing from them is stored.
    EXPECT_FALSE(parse(R"({"ips":["10.0.0.1:7000","10.0.0.2:7000"],"udp_report":["10.0.0.4:9001"],"op_conns":[]})"));
    EXPECT_EQ(m_identity->defaultConAddress(), before);
    EXPECT_EQ(m_identity->backupHttpReportAddress(), std::nullopt);
    EXPECT_EQ(m_identity->backupUdpReportAddress(), "10.0.0.4:9001");

    // No "op_conns": no result, the stored values stay.
    EXPECT_FALSE(parse(R"({"ips":["10.0.0.1:7000","10.0.0.2:7000","10.0.0.3:80"],"udp_report":["10.0.0.9:9001"]})"));
    EXPECT_EQ(m_identity->defaultConAddress(), "10.0.0.2:7000");
    EXPECT_EQ(m_identity->backupUdpReportAddress(), "10.0.0.9:9001");
    EXPECT_EQ(m_identity->backupHttpReportAddress(), "http://10.0.0.3:80/v2/report");
}

TEST_F(AddressLookup, BadRepliesGiveNothing) {
    const std::string well = R"("udp_report":["10.0.0.4:9001"],"op_conns":[])";
    for (const std::string& reply : std::vector<std::string>{
             std::string(""), std::string("not json"), std::string("[1,2,3]"), std::string("{}"),
             R"({"ips":"10.0.0.1:7000",)" + well + "}",
             R"({"ips":[1,"10.0.0.2:7000","10.0.0.3:80"],)" + well + "}",
             R"({"ips":["a","b","c"],"udp_report":[],"op_conns":[]})",
             R"({"ips":["a","b","c"],"udp_report":"10.0.0.4:9001","op_conns":[]})",
             R"({"ips":["a","b","c"],"udp_report":[5],"op_conns":[]})",
             R"({"ips":["a","b","c"],"udp_report":["u"],"op_conns":{}})",
         }) {
        EXPECT_FALSE(parse(reply)) << reply;
    }
    // A "user" that is not a text is ignored; a well-formed rest still gives the result.
    EXPECT_TRUE(parse(R"({"user":7,"ips":["a","b","c"],)" + well + "}"));
    EXPECT_EQ(m_controller.userReportAddress(), std::nullopt);
}

TEST_F(AddressLookup, AlternativeAddressesKeepOnlyTexts) {
    auto result = parse(R"({"ips":["a","b","c"],"udp_report":["u"],"op_conns":[1,{},"127.0.0.1:7001",null,"127.0.0.1:7002"]})");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->optionAddresses, (std::vector<std::string>{"127.0.0.1:7001", "127.0.0.1:7002"}));
}

} // namespace
