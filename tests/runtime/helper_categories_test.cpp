#include "runtime/HYBArrayComparisons.h"
#include "runtime/HYBDeviceExtensions.h"
#include "runtime/HYBDictionaryExtensions.h"
#include "runtime/HYBQueueAdditions.h"

#include "platform/system/UserDefaults.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <deque>

using namespace runtime;
using platform::Dictionary;
using platform::Value;

TEST(HYBDictionaryExtensions, IntegerReadsClampToTheRangeComparingUnsigned) {
    const Dictionary d{{"zero", 0}, {"five", 5}, {"fifty", "50"}, {"negative", -3}, {"null", nullptr}};
    const HYBIntegerRange range{1, 10};
    EXPECT_EQ(integerValueForKey(d, "zero", 7, range), 1);
    EXPECT_EQ(integerValueForKey(d, "five", 7, range), 5);
    EXPECT_EQ(integerValueForKey(d, "fifty", 7, range), 10);
    EXPECT_EQ(integerValueForKey(d, "negative", 7, range), 10);
    EXPECT_EQ(integerValueForKey(d, "absent", 7, range), 7);
    EXPECT_EQ(integerValueForKey(d, "absent", 70, range), 10);
    EXPECT_EQ(integerValueForKey(d, "null", 4), 4);
}

TEST(HYBDictionaryExtensions, TypeChecksAndCaseInsensitiveMatches) {
    const Dictionary d{{"flag", "YES"}, {"list", platform::Array{}}, {"none", nullptr}, {"n", 1.5}, {"b", true}};
    EXPECT_TRUE(existsValue(d, "yes", "flag"));
    EXPECT_FALSE(existsValue(d, "no", "flag"));
    EXPECT_FALSE(existsValue(d, "yes", "absent"));
    EXPECT_TRUE(valueForKeyIsArray(d, "list"));
    EXPECT_TRUE(valueForKeyIsNull(d, "none"));
    EXPECT_TRUE(valueForKeyIsNumber(d, "n"));
    EXPECT_TRUE(valueForKeyIsNumber(d, "b"));
    EXPECT_TRUE(valueForKeyIsString(d, "flag"));
    EXPECT_FALSE(valueForKeyIsString(d, "absent"));

    bool isArray = false, isNull = true, isNumber = true, isString = false;
    EXPECT_TRUE(typeValueForKey(d, "flag", &isArray, &isNull, &isNumber, &isString));
    EXPECT_FALSE(isArray);
    EXPECT_FALSE(isNull);
    EXPECT_FALSE(isNumber);
    EXPECT_TRUE(isString);
    isString = false;
    EXPECT_TRUE(typeValueForKey(d, "absent", &isArray, nullptr, nullptr, &isString));
    EXPECT_FALSE(isString); // untouched
}

TEST(HYBDictionaryExtensions, LowerCasedKeysLetTheLaterSpellingWin) {
    const Dictionary d{{"Key", 1}, {"other", 2}, {"KEY", 3}};
    EXPECT_EQ(dictionaryWithLowercaseKeys(d), (Dictionary{{"key", 3}, {"other", 2}}));
}

TEST(HYBQueueAdditions, QueueOperationsOnEmptyAndFilledSequences) {
    std::deque<int> queue;
    EXPECT_EQ(dequeue(queue), std::nullopt);
    EXPECT_EQ(queueHead(queue), std::nullopt);
    EXPECT_TRUE(queue.empty());
    enqueue(queue, 1);
    enqueue(queue, 2);
    EXPECT_EQ(queueHead(queue), 1);
    EXPECT_EQ(pop(queue), 1);
    EXPECT_EQ(dequeue(queue), 2);
    EXPECT_TRUE(queue.empty());
}

TEST(HYBArrayComparisons, DefaultsForNullAndOutOfRange) {
    const platform::Array a{1, nullptr};
    EXPECT_EQ(objectAtIndex(a, 0, "d"), Value(1));
    EXPECT_EQ(objectAtIndex(a, 1, "d"), Value("d"));
    EXPECT_EQ(objectAtIndex(a, 2, "d"), Value("d"));
}

TEST(HYBDeviceExtensions, TheInstallationIdentifierIsMadeOnceAndAgainAfterTheDefaultsAreCleared) {
    hybtest::TempHome home;
    const std::string first = uniqueAppInstanceIdentifier();
    ASSERT_EQ(first.size(), 36u);
    EXPECT_EQ(first[8], '-');
    EXPECT_EQ(uniqueAppInstanceIdentifier(), first);
    EXPECT_EQ(platform::UserDefaults::standard().string(kHYBInstallationIdentifierKey), first);
    ASSERT_TRUE(platform::UserDefaults::standard().remove(kHYBInstallationIdentifierKey).ok());
    const std::string second = uniqueAppInstanceIdentifier();
    EXPECT_NE(second, first);
    EXPECT_EQ(second.size(), 36u);
}
