#include "platform/ui/AttributedString.h"
#include "platform/ui/Font.h"
#include "platform/ui/Label.h"
#include "platform/ui/TextLayout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

using namespace platform;

namespace {

TextStyle styleWith(double size, LineBreakMode mode = LineBreakMode::WordWrap, int lines = 0) {
    TextStyle s;
    s.font = Font::systemFont(size);
    s.lineBreakMode = mode;
    s.numberOfLines = lines;
    return s;
}

// First in the program: the fonts are read on a background queue while this thread measures already.
TEST(TextLayoutTest, MeasuringWhileTheFontsArePreparedWaitsForThem) {
    TextLayout::prepare();
    const Size early = TextLayout::measure("Prepared 准备", styleWith(17), 0);
    TextLayout::prepare();  // again: nothing changes
    EXPECT_GT(early.width, 0);
    EXPECT_EQ(TextLayout::measure("Prepared 准备", styleWith(17), 0), early);
}

// The preparation runs whenever the queue gets to it, possibly in the middle of a caller's work: it must
// leave the layout cache as that caller left it.
TEST(TextLayoutTest, PreparingTheFontsAddsNoLayoutToTheCache) {
    TextLayout::clearCache();
    TextLayout::prepare();
    for (int poll = 0; poll < 200 && TextLayout::cacheSize() == 0; ++poll)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(TextLayout::cacheSize(), 0u);
}

TEST(FontTest, MetricsAreThoseOfTheOneFontFile) {
    Font f = Font::systemFont(16);
    EXPECT_GT(f.ascender(), 0);
    EXPECT_LT(f.descender(), 0);
    EXPECT_DOUBLE_EQ(f.lineHeight(), f.ascender() - f.descender());
    EXPECT_NEAR(Font::systemFont(32).lineHeight(), 2 * f.lineHeight(), 1e-6);
    EXPECT_NE(f.description().find("WenQuanYi Micro Hei"), std::string::npos);
    EXPECT_NE(Font::boldSystemFont(16).description().find("Bold"), std::string::npos);
}

TEST(FontTest, UnusableSizesReadAsTheDefault) {
    EXPECT_EQ(Font::systemFont(std::nan("")).pointSize(), Font::kDefaultSize);
    EXPECT_EQ(Font::systemFont(-3).pointSize(), Font::kDefaultSize);
    EXPECT_EQ(Font::systemFont(0).pointSize(), Font::kDefaultSize);
    EXPECT_EQ(Font::systemFont(std::numeric_limits<double>::infinity()).pointSize(), Font::kDefaultSize);
    EXPECT_EQ(Font::systemFont(1e9).pointSize(), Font::kMaxSize);
}

TEST(TextLayoutTest, FourCJKCharactersAreFourFullWidthAdvances) {
    for (int run = 0; run < 3; ++run) {
        TextLayout::clearCache();
        EXPECT_DOUBLE_EQ(TextLayout::singleLineWidth("四个字符", Font::systemFont(16)), 64);
        Size s = TextLayout::measure("四个字符", styleWith(16), 0);
        EXPECT_DOUBLE_EQ(s.width, 64);
        EXPECT_DOUBLE_EQ(s.height, Font::systemFont(16).lineHeight());
    }
    EXPECT_DOUBLE_EQ(TextLayout::singleLineWidth("订单金额", Font::systemFont(14)), 56);
}

TEST(TextLayoutTest, WrapsMixedTextByWordAndByCharacter) {
    const std::string text = "Order 订单金额 amount 合计";
    Font f = Font::systemFont(16);
    double natural = TextLayout::singleLineWidth(text, f);
    double width = 100;
    ASSERT_GT(natural, width);

    Size word = TextLayout::measure(text, styleWith(16, LineBreakMode::WordWrap), width);
    Size character = TextLayout::measure(text, styleWith(16, LineBreakMode::CharWrap), width);
    EXPECT_LE(word.width, width);
    EXPECT_LE(character.width, width);
    int wordLines = static_cast<int>(std::lround(word.height / f.lineHeight()));
    int charLines = static_cast<int>(std::lround(character.height / f.lineHeight()));
    EXPECT_GE(wordLines, 3);
    EXPECT_GE(charLines, 2);
    EXPECT_LE(charLines, wordLines);  // character wrapping fills each line
    // Character wrapping fills the first line to the last whole character that fits: 6 advances of 16.
    EXPECT_GT(character.width, word.width - 1e-9);

    // A line limit keeps the first lines.
    Size two = TextLayout::measure(text, styleWith(16, LineBreakMode::WordWrap, 2), width);
    EXPECT_DOUBLE_EQ(two.height, 2 * f.lineHeight());
    // A word longer than the width is broken inside.
    Size longWord = TextLayout::measure("Supercalifragilistic", styleWith(16, LineBreakMode::WordWrap), 60);
    EXPECT_LE(longWord.width, 60);
    EXPECT_GT(longWord.height, f.lineHeight());
}

TEST(TextLayoutTest, TruncatesAtTheHeadTheTailAndTheMiddle) {
    const std::string text = "开始 beginning middle 中间 end 结束";
    Font f = Font::systemFont(16);
    for (LineBreakMode mode : {LineBreakMode::TruncateHead, LineBreakMode::TruncateTail, LineBreakMode::TruncateMiddle, LineBreakMode::Clip}) {
        Size one = TextLayout::measure(text, styleWith(16, mode, 1), 120);
        EXPECT_LE(one.width, 120) << static_cast<int>(mode);
        EXPECT_GT(one.width, 80) << static_cast<int>(mode);
        EXPECT_DOUBLE_EQ(one.height, f.lineHeight()) << static_cast<int>(mode);
        Size two = TextLayout::measure(text, styleWith(16, mode, 2), 120);
        EXPECT_DOUBLE_EQ(two.height, 2 * f.lineHeight()) << static_cast<int>(mode);
    }
    // Without a line limit nothing is truncated: the text wraps.
    Size all = TextLayout::measure(text, styleWith(16, LineBreakMode::TruncateTail, 0), 120);
    EXPECT_GT(all.height, 2 * f.lineHeight());
}

TEST(TextLayoutTest, SameInputsShareOneCachedLayout) {
    TextLayout::clearCache();
    TextStyle s = styleWith(15);
    Size a = TextLayout::measure("cell text", s, 200);
    EXPECT_EQ(TextLayout::cacheSize(), 1u);
    Size b = TextLayout::measure("cell text", s, 200);
    EXPECT_EQ(a, b);
    EXPECT_EQ(TextLayout::cacheSize(), 1u);
    TextLayout::measure("cell text", s, 201);
    EXPECT_EQ(TextLayout::cacheSize(), 2u);
}

TEST(TextLayoutTest, BadInputMeasuresSafely) {
    // Invalid UTF-8 and NUL become replacement characters (one full advance each in this font).
    EXPECT_EQ(AttributedString(std::string("a\xff\xfe" "b\0c", 6)).string(), "a\xEF\xBF\xBD\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c");
    EXPECT_GT(TextLayout::singleLineWidth("\xC3", Font::systemFont(16)), 0);
    // Widths that are not finite or not positive are unbounded.
    double natural = TextLayout::singleLineWidth("hello world", Font::systemFont(16));
    for (double w : {0.0, -5.0, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_DOUBLE_EQ(TextLayout::measure("hello world", styleWith(16), w).width, natural);
    // Negative line counts are any number of lines.
    EXPECT_EQ(TextLayout::measure("a b c d", styleWith(16, LineBreakMode::WordWrap, -4), 20),
              TextLayout::measure("a b c d", styleWith(16, LineBreakMode::WordWrap, 0), 20));
    // A megabyte of text measures (in time linear in its length).
    std::string big;
    while (big.size() < (1u << 20))
        big += "lorem ipsum 四个字符 dolor ";
    Size s = TextLayout::measure(big, styleWith(12, LineBreakMode::TruncateTail, 3), 300);
    EXPECT_DOUBLE_EQ(s.height, 3 * Font::systemFont(12).lineHeight());
    EXPECT_GT(TextLayout::measure(big, styleWith(12), 300).height, 1000);
    TextLayout::clearCache();
}

TEST(TextLayoutTest, AWordLongerThanManyLinesFillsEachLine) {
    // The word breaks at the last whole character that fits, line after line, however long it is.
    const Font f = Font::systemFont(16);
    const double advance = TextLayout::singleLineWidth("W", f);
    ASSERT_NEAR(TextLayout::singleLineWidth("WW", f), 2 * advance, 1e-3);
    const double width = 20 * advance + advance / 2;
    for (LineBreakMode mode : {LineBreakMode::WordWrap, LineBreakMode::CharWrap}) {
        for (std::size_t length : {100u, 257u, 6000u}) {
            const Size s = TextLayout::measure(std::string(length, 'W'), styleWith(16, mode), width);
            const std::size_t lines = (length + 19) / 20;
            EXPECT_NEAR(s.height, static_cast<double>(lines) * f.lineHeight(), 1e-6) << length;
            EXPECT_NEAR(s.width, 20 * advance, 1e-3) << length;
        }
    }
    // Words before and after the long one keep their places: the first goes on a line of its own.
    const std::string text = "Hi " + std::string(2000, 'W') + " end";
    const Size s = TextLayout::measure(text, styleWith(16), width);
    EXPECT_NEAR(s.height, (1 + 100 + 1) * f.lineHeight(), 1e-6);
}

TEST(TextLayoutTest, LongRunsKeepEveryCharacterWhole) {
    // Runs without spaces are laid out in pieces: no piece begins inside a character as the user sees
    // it (a letter with its accent, an emoji with its skin tone, a flag's two letters).
    const Font f = Font::systemFont(16);
    for (const std::string unit : {"W", "\u6C49", "e\u0301", "\U0001F44D\U0001F3FD", "\U0001F1E9\U0001F1EA", "\u2764\uFE0F"}) {
        const double one = TextLayout::singleLineWidth(unit, f);
        const double advance = TextLayout::singleLineWidth(unit + unit, f) - one;
        ASSERT_GT(advance, 0) << unit;
        std::string run;
        for (int i = 0; i < 300; ++i)
            run += unit;
        ASSERT_GT(run.size(), 256u);
        EXPECT_NEAR(TextLayout::singleLineWidth(run, f), one + 299 * advance, 0.5) << unit;
    }
}

TEST(AttributedStringTest, RangesCountUTF16Units) {
    // The emoji is one code point, two UTF-16 units and four bytes.
    AttributedString s("😀订单金额 total");
    EXPECT_EQ(s.length(), 2u + 4u + 6u);
    ASSERT_TRUE(s.addForegroundColor(Color::fromRGBA255(255, 0, 0), TextRange{2, 4}).ok());
    ASSERT_EQ(s.runs().size(), 1u);
    EXPECT_EQ(s.string().substr(s.runs()[0].begin, s.runs()[0].end - s.runs()[0].begin), "订单金额");
    ASSERT_TRUE(s.addFont(Font::boldSystemFont(20), TextRange{7, 5}).ok());
    EXPECT_EQ(s.string().substr(s.runs()[1].begin), "total");
    // A range edge inside the surrogate pair moves to the start of the emoji: the run covers it whole.
    ASSERT_TRUE(s.addForegroundColor(Color::black(), TextRange{1, 1}).ok());
    ASSERT_EQ(s.runs().size(), 3u);
    EXPECT_EQ(s.string().substr(s.runs()[2].begin, s.runs()[2].end - s.runs()[2].begin), "😀");

    // Out of bounds: refused, nothing changes.
    Status bad = s.addFont(Font::systemFont(9), TextRange{10, 3});
    ASSERT_FALSE(bad.ok());
    EXPECT_NE(bad.error().localizedDescription().find("out of bounds"), std::string::npos);
    EXPECT_FALSE(s.addFont(Font::systemFont(9), TextRange{SIZE_MAX, 2}).ok());
    EXPECT_EQ(s.runs().size(), 3u);
}

TEST(AttributedStringTest, FontRunsChangeTheMeasure) {
    AttributedString s("四个字符");
    TextStyle st = styleWith(16);
    ASSERT_TRUE(s.addFont(Font::systemFont(32), TextRange{0, 2}).ok());
    EXPECT_DOUBLE_EQ(TextLayout::measure(s, st, 0).width, 2 * 32 + 2 * 16);
    // A paragraph style overrides the style's line-break mode.
    AttributedString longText("one two three four five six");
    ParagraphStyle p;
    p.lineBreakMode = LineBreakMode::TruncateTail;
    longText.setParagraphStyle(p);
    st.numberOfLines = 1;
    EXPECT_DOUBLE_EQ(TextLayout::measure(longText, st, 80).height, Font::systemFont(16).lineHeight());
}

TEST(LabelTest, SizeThatFitsMatchesTheLayout) {
    auto label = std::make_shared<Label>();
    label->setFont(Font::systemFont(16));
    label->setText("四个字符");
    EXPECT_EQ(label->sizeThatFits({0, 0}), (Size{64, Font::systemFont(16).lineHeight()}));
    label->sizeToFit();
    EXPECT_EQ(label->frame().size, (Size{64, Font::systemFont(16).lineHeight()}));

    label->setNumberOfLines(0);
    label->setText("one two three four five six seven");
    Size wrapped = label->sizeThatFits({80, 1000});
    EXPECT_LE(wrapped.width, 80);
    EXPECT_GT(wrapped.height, Font::systemFont(16).lineHeight() * 2);
    // The text rectangle never exceeds the bounds: whole lines that fit.
    Rect r = label->textRectForBounds(Rect(0, 0, 80, 50), 0);
    EXPECT_LE(r.height(), 50);
    EXPECT_DOUBLE_EQ(r.height(), 2 * Font::systemFont(16).lineHeight());
}

TEST(LabelTest, ShrinksToFitItsWidthDownToTheMinimumScale) {
    auto label = std::make_shared<Label>(Rect(0, 0, 64, 30));
    label->setFont(Font::systemFont(32));
    label->setText("四个字符");
    EXPECT_DOUBLE_EQ(label->fittingFont(64).pointSize(), 32);
    label->setAdjustsFontSizeToFitWidth(true);
    EXPECT_LE(label->fittingFont(64).pointSize(), 16.0 + 1e-9);
    EXPECT_GE(label->fittingFont(64).pointSize(), 15.0);
    label->setMinimumScaleFactor(0.75);
    EXPECT_DOUBLE_EQ(label->fittingFont(64).pointSize(), 24);
    label->setMinimumScaleFactor(std::nan(""));
    EXPECT_DOUBLE_EQ(label->minimumScaleFactor(), 0.75);
}

} // namespace
