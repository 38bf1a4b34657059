#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(HTTPHeaderFields, AddJoinsWithCommaAndNamesIgnoreCase) {
    HTTPHeaderFields h;
    ASSERT_TRUE(h.addValue("Accept", "text/html"));
    ASSERT_TRUE(h.addValue("accept", "application/json"));
    ASSERT_TRUE(h.setValue("X-One", "1"));
    EXPECT_EQ(h.value("ACCEPT"), "text/html, application/json");
    EXPECT_EQ(h.fields().front().first, "Accept"); // the first spelling stays
    ASSERT_TRUE(h.setValue("ACCEPT", "*/*"));
    EXPECT_EQ(h.value("accept"), "*/*");
    EXPECT_EQ(h.dictionary().keys(), (std::vector<std::string>{"Accept", "X-One"}));
    EXPECT_TRUE(h.remove("x-one"));
    EXPECT_FALSE(h.remove("x-one"));
    ASSERT_TRUE(h.setValue("Empty", ""));
    EXPECT_EQ(h.value("Empty"), "");
}

TEST(HTTPHeaderFields, InjectionAndBadNamesAreRefusedAndChangeNothing) {
    HTTPHeaderFields h;
    ASSERT_TRUE(h.setValue("X-Safe", "ok"));
    for (std::string_view value : {std::string_view("a\r\nX-Evil: 1"), std::string_view("a\nb"), std::string_view("a\rb"),
                                   std::string_view("a\0b", 3)}) {
        Status s = h.setValue("X-Safe", value);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().domain, kURLErrorDomain);
        EXPECT_EQ(s.error().code, kURLErrorBadURL);
        EXPECT_FALSE(h.addValue("X-Safe", value));
    }
    for (std::string_view name : {"", "Bad Name", "Bad:Name", "Bad\r\nName", "Ünicode"})
        EXPECT_FALSE(h.setValue(name, "v")) << name;
    EXPECT_EQ(h.value("X-Safe"), "ok");
    EXPECT_EQ(h.size(), 1u);
}

TEST(URLRequest, DefaultsAndBodyKinds) {
    URLRequest r("http://example.com/a");
    EXPECT_EQ(r.httpMethod(), "GET");
    EXPECT_EQ(r.timeoutInterval(), 60.0);
    EXPECT_TRUE(r.httpShouldHandleCookies());
    EXPECT_EQ(r.cachePolicy(), URLRequestCachePolicy::UseProtocolCachePolicy);
    EXPECT_EQ(r.scheme(), "http");
    r.setHTTPBody(std::string_view("abc"));
    EXPECT_EQ(r.httpBody()->size(), 3u);
    r.setHTTPBodyStream(nullptr);
    EXPECT_FALSE(r.httpBody());
    EXPECT_FALSE(URLRequest("not a url").url());
    EXPECT_EQ(URLRequest("HTTPS://x/").scheme(), "https");
}
