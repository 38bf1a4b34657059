#include "platform/net/HTTPResponseHead.h"
#include "platform/net/URLResponse.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {
HTTPResponseHead feed(const std::string& text) {
    HTTPResponseHead head;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        (void)head.consumeLine(std::string_view(text).substr(pos, end - pos));
        pos = end;
    }
    return head;
}
} // namespace

TEST(HTTPResponseHead, ReadsStatusFieldsAndRepeatedCookies) {
    auto head = feed("HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nSet-Cookie: a=1; Expires=Wed, 09 Jun 2100 10:18:14 GMT\r\n"
                     "Set-Cookie: b=2\r\nVia: one\r\nvia: two\r\nX-Folded: first\r\n  second\r\n\r\n");
    EXPECT_TRUE(head.isComplete());
    EXPECT_EQ(head.statusCode(), 404);
    EXPECT_EQ(head.httpVersion(), "HTTP/1.1");
    EXPECT_EQ(head.reasonPhrase(), "Not Found");
    EXPECT_EQ(feed("HTTP/1.1 200\r\n\r\n").reasonPhrase(), "");
    EXPECT_EQ(feed("HTTP/1.1 200 Fine, thanks \r\n\r\n").reasonPhrase(), "Fine, thanks");
    EXPECT_EQ(head.fields().value("VIA"), "one, two");
    EXPECT_EQ(head.fields().value("X-Folded"), "first second");
    EXPECT_EQ(head.setCookieValues(), (std::vector<std::string>{"a=1; Expires=Wed, 09 Jun 2100 10:18:14 GMT", "b=2"}));
}

TEST(HTTPResponseHead, ANewStatusLineStartsOverAndJunkIsIgnored) {
    auto head = feed("HTTP/1.1 100 Continue\r\nX-Early: 1\r\n\r\nHTTP/1.1 200 OK\r\nno colon here\r\n: empty name\r\n"
                     "Bad Name: x\r\nGood: y\r\n\r\nLate: z\r\n");
    EXPECT_EQ(head.statusCode(), 200);
    EXPECT_FALSE(head.fields().contains("X-Early"));
    EXPECT_FALSE(head.fields().contains("Late"));
    EXPECT_EQ(head.fields().size(), 1u);
    EXPECT_EQ(head.fields().value("Good"), "y");

    std::string version;
    int status = 0;
    EXPECT_TRUE(HTTPResponseHead::parseStatusLine("HTTP/2 204", version, status));
    EXPECT_EQ(status, 204);
    for (const char* line : {"HTTP/1.1 20", "HTTP/1.1 2000 X", "HTTP/1.1 abc", "HTTX/1.1 200 OK", "HTTP/1.1"})
        EXPECT_FALSE(HTTPResponseHead::parseStatusLine(line, version, status)) << line;
}

TEST(HTTPResponseHead, LimitsHold) {
    std::string text = "HTTP/1.1 200 OK\r\n";
    for (std::size_t i = 0; i < HTTPResponseHead::kMaxFields + 10; ++i)
        text += "F" + std::to_string(i) + ": v\r\n";
    for (std::size_t i = 0; i < HTTPResponseHead::kMaxSetCookies + 10; ++i)
        text += "Set-Cookie: c" + std::to_string(i) + "=1\r\n";
    auto head = feed(text + "\r\n");
    EXPECT_EQ(head.fields().size(), HTTPResponseHead::kMaxFields);
    EXPECT_EQ(head.setCookieValues().size(), HTTPResponseHead::kMaxSetCookies);

    auto big = feed("HTTP/1.1 200 OK\r\n" + std::string(2000, 'x') + ": " + std::string(HTTPResponseHead::kMaxHeadBytes, 'v') + "\r\n\r\n");
    EXPECT_TRUE(big.fields().empty());
}

TEST(URLResponse, HTTPResponseTakesLengthTypeAndEncodingFromFields) {
    HTTPHeaderFields f;
    ASSERT_TRUE(f.setValue("Content-Length", " 42 "));
    ASSERT_TRUE(f.setValue("Content-Type", "Text/HTML; Charset=\"UTF-8\""));
    auto r = URLResponse::http(URL::fromString("http://h/x"), 200, f);
    EXPECT_EQ(r.expectedContentLength(), 42);
    EXPECT_EQ(r.mimeType(), "text/html");
    EXPECT_EQ(r.textEncodingName(), "utf-8");
    for (const char* bad : {"-1", "12abc", "", "99999999999999999999999"}) {
        HTTPHeaderFields g;
        ASSERT_TRUE(g.setValue("Content-Length", bad));
        EXPECT_EQ(URLResponse::http(std::nullopt, 200, g).expectedContentLength(), -1) << bad;
    }
    URLResponse file(URL::fromString("file:///tmp/a"), "text/plain", 7);
    EXPECT_FALSE(file.isHTTP());
    EXPECT_EQ(file.statusCode(), 0);
}
