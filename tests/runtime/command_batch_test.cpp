#include "runtime/HYBCommandBatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace runtime;

namespace {

std::string nested(std::size_t depth, const std::string& inside = "1") {
    return std::string(depth, '[') + inside + std::string(depth, ']');
}

std::vector<HYBCommandBatchEntry> read(const std::string& text) {
    platform::Result<std::vector<HYBCommandBatchEntry>> entries = readCommandBatch(text);
    EXPECT_TRUE(entries.ok()) << text.substr(0, 200);
    return entries.ok() ? std::move(entries).value() : std::vector<HYBCommandBatchEntry>{};
}

const platform::Value* value(const HYBCommandBatchEntry& entry) { return std::get_if<platform::Value>(&entry); }
const HYBUnreadableCommand* unreadable(const HYBCommandBatchEntry& entry) { return std::get_if<HYBUnreadableCommand>(&entry); }

// The first argument of a command entry read as a value.
std::string firstArgument(const HYBCommandBatchEntry& entry) {
    const platform::Value* v = value(entry);
    return v ? (*v)[3][0].stringOr("<not a string>") : "<unreadable>";
}

} // namespace

// ---- entries that cannot be read cost only themselves ----

TEST(HYBCommandBatch, AnEntryNestedTooDeepIsUnreadableWithItsCallbackIdAndTheOthersRead) {
    for (std::size_t depth : {std::size_t(1100), std::size_t(200000)}) {
        SCOPED_TRACE(depth);
        const std::string batch = "[[\"a1\",\"S\",\"x\",[\"before\"]],[\"deep7\",\"S\",\"x\"," + nested(depth) +
                                  "],[\"a2\",\"S\",\"x\",[\"after\"]]]";
        const std::vector<HYBCommandBatchEntry> entries = read(batch);
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(firstArgument(entries[0]), "before");
        ASSERT_TRUE(unreadable(entries[1]));
        EXPECT_EQ(unreadable(entries[1])->callbackId, "deep7");
        EXPECT_NE(unreadable(entries[1])->reason.find("too deep"), std::string::npos) << unreadable(entries[1])->reason;
        EXPECT_EQ(firstArgument(entries[2]), "after");
    }
    // Just within the reader's limit, the same entry reads.
    const std::vector<HYBCommandBatchEntry> within = read("[[\"ok\",\"S\",\"x\"," + nested(900) + "],5");
    ASSERT_EQ(within.size(), 2u);
    EXPECT_TRUE(value(within[0]));
}

TEST(HYBCommandBatch, WhatCanBeReadOfABrokenEntryIsItsLeadingString) {
    using namespace std::string_literals;
    const std::vector<HYBCommandBatchEntry> entries = read(
        "[[\"bad1\",\"S\",\"x\",[tru]],"              // bad syntax inside
        "[7,\"S\",\"x\",[nul]],"                     // no string first: nothing to answer
        "[\"a]\\\"[{\",\"S\",\"x\",[\"]}\"]],"       // brackets and quotes inside strings do not split
        "[\"bad\\ud800\",\"S\",\"x\",[\"\xff\"]],"   // invalid UTF-8; the id is read with its replacement
        "[\0\x01 \xff\"afterNul\",\"S\",\"x\",[]],"  // stray bytes before the id
        "[7 \"notFirst\",\"S\",\"x\",[]],"
        "[\x7f#!@\\x\"afterDel\",\"S\",\"x\",[]],"     // DEL and printable bytes that begin no JSON value
        "[-\"afterMinus\",\"S\",\"x\",[]],"          // a byte that begins a number: no string first
        "[,\"afterComma\",\"S\",\"x\",[]],"
        "[\"cut\",\"S\",\"x\",[1,"s);                // cut off by the end of the text
    ASSERT_EQ(entries.size(), 10u);
    ASSERT_TRUE(unreadable(entries[0]));
    EXPECT_EQ(unreadable(entries[0])->callbackId, "bad1");
    EXPECT_FALSE(unreadable(entries[0])->reason.empty());
    ASSERT_TRUE(unreadable(entries[1]));
    EXPECT_FALSE(unreadable(entries[1])->callbackId);
    ASSERT_TRUE(value(entries[2]));
    EXPECT_EQ((*value(entries[2]))[0].stringOr(""), "a]\"[{");
    EXPECT_EQ(firstArgument(entries[2]), "]}");
    ASSERT_TRUE(unreadable(entries[3]));
    EXPECT_EQ(unreadable(entries[3])->callbackId, "bad\xEF\xBF\xBD");
    ASSERT_TRUE(unreadable(entries[4]));
    EXPECT_EQ(unreadable(entries[4])->callbackId, "afterNul");
    ASSERT_TRUE(unreadable(entries[5]));
    EXPECT_FALSE(unreadable(entries[5])->callbackId);
    ASSERT_TRUE(unreadable(entries[6]));
    EXPECT_EQ(unreadable(entries[6])->callbackId, "afterDel");
    ASSERT_TRUE(unreadable(entries[7]));
    EXPECT_FALSE(unreadable(entries[7])->callbackId);
    ASSERT_TRUE(unreadable(entries[8]));
    EXPECT_FALSE(unreadable(entries[8])->callbackId);
    ASSERT_TRUE(unreadable(entries[9]));
    EXPECT_EQ(unreadable(entries[9])->callbackId, "cut");
}

TEST(HYBCommandBatch, ATextThatIsNoArrayIsNoBatch) {
    for (const char* text : {"", "   ", "{\"a\":1}", "{\"a\":[1", "\"x\"", "5", "x["}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(readCommandBatch(text).ok());
    }
    EXPECT_EQ(read("[]").size(), 0u);
    EXPECT_EQ(read("  [").size(), 0u);
    EXPECT_EQ(read("[\"unterminated").size(), 1u) << "an entry, unreadable";
    const std::vector<HYBCommandBatchEntry> scalars = read("[5, \"x\", null]");
    ASSERT_EQ(scalars.size(), 3u) << "entries that are no commands are the queue's to refuse";
    EXPECT_EQ(*value(scalars[0]), platform::Value(5));
}

TEST(HYBCommandBatch, WhatFollowsABracketThatEndsTheBatchEarlyIsUnreadable) {
    const std::vector<HYBCommandBatchEntry> entries =
        read("[[\"A\",\"S\",\"x\",[1]]],[\"B\",\"S\",\"x\",[2]]] } 7 [\"C\",\"S\",\"x\",[tru]] ]");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_TRUE(value(entries[0]));
    ASSERT_TRUE(unreadable(entries[1]));
    EXPECT_EQ(unreadable(entries[1])->callbackId, "B");
    EXPECT_NE(unreadable(entries[1])->reason.find("follows the end of the batch"), std::string::npos);
    ASSERT_TRUE(unreadable(entries[2]));
    EXPECT_FALSE(unreadable(entries[2])->callbackId);
    ASSERT_TRUE(unreadable(entries[3]));
    EXPECT_EQ(unreadable(entries[3])->callbackId, "C");
    // A batch of commands after the end: each is unreadable, with its own callback id.
    const std::vector<HYBCommandBatchEntry> batchAfter =
        read("[[\"A\",\"S\",\"x\",[1]]] [[\"B\",\"S\",\"x\",[2]],[\"C\",\"S\",\"x\",[3]],7]");
    ASSERT_EQ(batchAfter.size(), 4u);
    EXPECT_TRUE(value(batchAfter[0]));
    for (std::size_t i = 1; i < 4; ++i) {
        ASSERT_TRUE(unreadable(batchAfter[i])) << i;
        EXPECT_NE(unreadable(batchAfter[i])->reason.find("follows the end of the batch"), std::string::npos);
    }
    EXPECT_EQ(unreadable(batchAfter[1])->callbackId, "B");
    EXPECT_EQ(unreadable(batchAfter[2])->callbackId, "C");
    EXPECT_FALSE(unreadable(batchAfter[3])->callbackId);
    // Space after the end is nothing.
    EXPECT_EQ(read("[[\"A\",\"S\",\"x\",[1]],[tru] ] \n").size(), 2u);
}

TEST(HYBCommandBatch, StrayBytesBetweenEntriesAreAPieceOfTheirOwnAndTheEntryAfterThemReads) {
    using namespace std::string_literals;
    // A NUL, a control character, a byte that is not UTF-8 and a bare word before entries, with and
    // without commas; one unreadable entry among them keeps its id.
    const std::vector<HYBCommandBatchEntry> entries = read(
        "[[\"a\",\"S\",\"x\",[\"A\"]],\0[\"b\",\"S\",\"x\",[\"B\"]],\x01 [\"c\",\"S\",\"x\",[\"C\"]]"
        "\xff[\"d\",\"S\",\"x\",[\"D\"]],junk\"s\"[\"e\",\"S\",\"x\",[tru]]]"s);
    std::vector<std::string> read;
    std::vector<std::string> unreadableIds;
    for (const HYBCommandBatchEntry& entry : entries) {
        if (value(entry))
            read.push_back(firstArgument(entry));
        else
            unreadableIds.push_back(unreadable(entry)->callbackId.value_or("-"));
    }
    EXPECT_EQ(read, (std::vector<std::string>{"A", "B", "C", "D", "<not a string>"}));
    EXPECT_EQ(unreadableIds, (std::vector<std::string>{"-", "-", "-", "-", "e"}));
}

TEST(HYBCommandBatch, CommandsAfterStrayBytesBeforeTheBatchAreUnreadableWithTheirIds) {
    using namespace std::string_literals;
    const std::vector<HYBCommandBatchEntry> entries =
        read("\0[[\"a\",\"S\",\"x\",[1]],\0[\"b\",\"S\",\"x\",[2]]]"s);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(unreadable(entries[0])->callbackId, "a");
    EXPECT_FALSE(unreadable(entries[1])->callbackId);
    EXPECT_EQ(unreadable(entries[2])->callbackId, "b");
    for (const HYBCommandBatchEntry& entry : entries) {
        ASSERT_TRUE(unreadable(entry)) << "nothing runs";
        EXPECT_NE(unreadable(entry)->reason.find("does not begin with"), std::string::npos) << unreadable(entry)->reason;
    }
    // A whole batch after the stray bytes: each of its commands.
    const std::vector<HYBCommandBatchEntry> batch = read("\xef\xbb\xbf[[\"a\",\"S\",\"x\",[1]],[\"b\",\"S\",\"x\",[2]]]");
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(unreadable(batch[0])->callbackId, "a");
    EXPECT_EQ(unreadable(batch[1])->callbackId, "b");
    // Without a command to answer, it stays no batch.
    for (const std::string& text : {"\0[1,2]"s, "\0x"s, "\0"s})
        EXPECT_FALSE(readCommandBatch(text).ok());
}

// ---- lone surrogates ----

TEST(HYBCommandBatch, LoneSurrogateEscapesReadAsTheReplacementCharacter) {
    const std::string replacement = "\xEF\xBF\xBD";
    const std::vector<HYBCommandBatchEntry> entries = read(
        "[[\"a\",\"S\",\"x\",[\"cut \\ud83d\"]],"
        "[\"b\",\"S\",\"x\",[\"\\udc00 low, \\ud800\\ud800 two highs, \\ud83d\\ude00 a pair\"]],"
        "[\"c\",\"S\",\"x\",[{\"k\\uDBFF\":\"\\\\ud800 is text\"}]]]");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(firstArgument(entries[0]), "cut " + replacement);
    EXPECT_EQ(firstArgument(entries[1]), replacement + " low, " + replacement + replacement + " two highs, \xF0\x9F\x98\x80 a pair");
    ASSERT_TRUE(value(entries[2]));
    const platform::Dictionary& dictionary = (*value(entries[2]))[3][0].dictionaryOrEmpty();
    EXPECT_EQ(dictionary["k" + replacement].stringOr(""), "\\ud800 is text") << "an escaped backslash is no escape";
}

TEST(HYBCommandBatch, ReplacingLoneSurrogatesLeavesEverythingElseAlone) {
    EXPECT_FALSE(replaceLoneSurrogateEscapes("[\"\\ud83d\\ude00\",\"\\u00e9\\n\",\"\\\\ud800\"]"));
    EXPECT_FALSE(replaceLoneSurrogateEscapes("[1,2]"));
    EXPECT_EQ(replaceLoneSurrogateEscapes("[\"\\uD800\"]"), "[\"\\ufffd\"]");
    EXPECT_EQ(replaceLoneSurrogateEscapes("[\"x\\ud800\\u0041\"]"), "[\"x\\ufffd\\u0041\"]");
    // Cut short: what is not a whole escape stays for the reader to refuse.
    EXPECT_FALSE(replaceLoneSurrogateEscapes("[\"\\ud8"));
    EXPECT_EQ(replaceLoneSurrogateEscapes("[\"\\ud800\\u"), "[\"\\ufffd\\u");
}
