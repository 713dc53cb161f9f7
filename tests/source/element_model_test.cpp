// The element model in memory: key ordering, Set/lookup semantics, ownership
// of replaced entries, conversions and deep copies.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/Object.h"
#include "source/ZyLuaTableMarshalling.h"
#include "value_test_util.h"

namespace {

using value_test::Encode;

// Test doubles that record their destruction in a shared log, so that tests
// can see which elements a table destroyed and in what order.
using DeathLog = std::vector<std::string>;

class LoggedString : public ZyLuaTEString {
 public:
  LoggedString(const std::string& text, std::string tag, DeathLog* log)
      : ZyLuaTEString(text), mTag(std::move(tag)), mLog(log) {}
  ~LoggedString() override { mLog->push_back(mTag); }

 private:
  std::string mTag;
  DeathLog* mLog;
};

class LoggedNumber : public ZyLuaTENumber {
 public:
  LoggedNumber(double value, std::string tag, DeathLog* log)
      : ZyLuaTENumber(value), mTag(std::move(tag)), mLog(log) {}
  ~LoggedNumber() override { mLog->push_back(mTag); }

 private:
  std::string mTag;
  DeathLog* mLog;
};

// The keys of a table in iteration (ascending) order, rendered for comparison.
std::vector<std::string> KeyOrder(const ZyLuaTETable& table) {
  std::vector<std::string> keys;
  for (const auto& entry : table.mTable) {
    ZyLuaTE* key = entry.first;
    switch (key->mType) {
      case ZyLuaTE::kNil: keys.push_back("nil"); break;
      case ZyLuaTE::kNumber: {
        const double value = static_cast<double>(*key);
        char text[32];
        snprintf(text, sizeof text, "%g", std::isnan(value) ? std::fabs(value) : value);
        keys.push_back(text);
        break;
      }
      case ZyLuaTE::kString: keys.push_back("'" + static_cast<std::string>(*key) + "'"); break;
      case ZyLuaTE::kData: keys.push_back("data"); break;
      case ZyLuaTE::kTable: keys.push_back("table"); break;
    }
  }
  return keys;
}

double NumberAt(ZyLuaTE* value) {
  EXPECT_NE(value, nullptr);
  return value != nullptr ? static_cast<double>(*value) : -12345.0;
}

TEST(ElementOrdering, KeysOrderByKindThenByValue) {
  ZyLuaTETable table;
  unsigned char bytes[] = {1, 2};
  table.Set(new ZyLuaTETable(), new ZyLuaTENil());
  table.Set(new ZyLuaTEData(bytes, 2), new ZyLuaTENil());
  table.Set("b", new ZyLuaTENil());
  table.Set(new ZyLuaTENumber(1), new ZyLuaTENil());
  table.Set("a", new ZyLuaTENil());
  table.Set(new ZyLuaTENumber(2.5), new ZyLuaTENil());
  table.Set(new ZyLuaTENil(), new ZyLuaTENil());
  EXPECT_EQ(KeyOrder(table),
            (std::vector<std::string>{"nil", "1", "2.5", "'a'", "'b'", "data", "table"}));
}

TEST(ElementOrdering, StringsCompareBytewiseUnsigned) {
  auto less = [](const char* a, const char* b) { return ZyLuaTEString(a) < ZyLuaTEString(b); };
  EXPECT_TRUE(less("ab", "abc"));
  EXPECT_TRUE(less("abc", "abd"));
  EXPECT_FALSE(less("abd", "abc"));
  EXPECT_TRUE(less("", "a"));
  EXPECT_FALSE(less("", ""));
  EXPECT_FALSE(less("a", "a"));
  EXPECT_TRUE(less("z", "\xC3\xA9"));  // A UTF-8 lead byte sorts after ASCII.
  EXPECT_FALSE(less("\xC3\xA9", "z"));
}

TEST(ElementOrdering, NumbersCompareNumericallyAndNaNIsOneLastKey) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(ZyLuaTENumber(-1) < ZyLuaTENumber(9.5));
  EXPECT_FALSE(ZyLuaTENumber(0.0) < ZyLuaTENumber(-0.0));
  EXPECT_FALSE(ZyLuaTENumber(-0.0) < ZyLuaTENumber(0.0));
  EXPECT_TRUE(ZyLuaTENumber(inf) < ZyLuaTENumber(nan));
  EXPECT_FALSE(ZyLuaTENumber(nan) < ZyLuaTENumber(inf));
  EXPECT_FALSE(ZyLuaTENumber(nan) < ZyLuaTENumber(-nan));
  // A NaN is still a number: before every string.
  EXPECT_TRUE(ZyLuaTENumber(nan) < ZyLuaTEString(""));

  ZyLuaTETable table;
  table.Set(new ZyLuaTENumber(nan), new ZyLuaTENumber(1));
  table.Set(new ZyLuaTENumber(inf), new ZyLuaTENumber(2));
  table.Set(new ZyLuaTENumber(-nan), new ZyLuaTENumber(3));  // Replaces the first NaN.
  table.Set(new ZyLuaTENumber(-inf), new ZyLuaTENumber(4));
  table.Set(new ZyLuaTENumber(7), new ZyLuaTENumber(5));
  EXPECT_EQ(KeyOrder(table), (std::vector<std::string>{"-inf", "7", "inf", "nan"}));
  ZyLuaTENumber nanKey(nan);
  EXPECT_EQ(NumberAt(table.elementForKey(&nanKey)), 3.0);
  EXPECT_EQ(NumberAt(table.elementForKey(7)), 5.0);
}

TEST(ElementOrdering, DataAndTableKeysAreFoundOnlyByIdentity) {
  ZyLuaTETable table;
  unsigned char bytes[] = {1, 2, 3};
  auto* dataKey = new ZyLuaTEData(bytes, 3);
  auto* tableKey = new ZyLuaTETable();
  table.Set(dataKey, new ZyLuaTENumber(1));
  table.Set(tableKey, new ZyLuaTENumber(2));
  ZyLuaTEData sameBytes(bytes, 3);
  ZyLuaTETable sameContents;
  EXPECT_EQ(table.elementForKey(&sameBytes), nullptr);
  EXPECT_EQ(table.elementForKey(&sameContents), nullptr);
  EXPECT_EQ(NumberAt(table.elementForKey(dataKey)), 1.0);
  EXPECT_EQ(NumberAt(table.elementForKey(tableKey)), 2.0);

  // Empty data elements too have buffers of their own, so they stay apart.
  table.Set(new ZyLuaTEData(nullptr, 0), new ZyLuaTENil());
  table.Set(new ZyLuaTEData(nullptr, 0), new ZyLuaTENil());
  EXPECT_EQ(table.mTable.size(), 4u);
}

TEST(TableLookup, KeysOfDifferentKindsStayApartAndOverloadsAgree) {
  ZyLuaTETable table;
  table.Set(new ZyLuaTENumber(1), new ZyLuaTEString("number one"));
  table.Set("1", new ZyLuaTEString("text one"));
  table.Set(new ZyLuaTENumber(3.0), new ZyLuaTEString("three"));
  ASSERT_EQ(table.mTable.size(), 3u);
  auto text = [](ZyLuaTE* value) {
    return value != nullptr ? static_cast<std::string>(*value) : std::string("<null>");
  };
  EXPECT_EQ(text(table.elementForKey(1)), "number one");
  EXPECT_EQ(text(table.elementForKey("1")), "text one");
  EXPECT_EQ(text(table.elementForKey(std::string("1"))), "text one");
  EXPECT_EQ(text(table.elementForKey(3)), "three");
  ZyLuaTEString stringKey("1");
  EXPECT_EQ(text(table.elementForKey(&stringKey)), "text one");
  EXPECT_EQ(table.elementForKey(2), nullptr);
  EXPECT_EQ(table.elementForKey("2"), nullptr);
  EXPECT_EQ(table.elementForKey(static_cast<ZyLuaTE*>(nullptr)), nullptr);
}

TEST(TableLookup, StdStringKeysKeepEmbeddedNuls) {
  ZyLuaTETable table;
  table.Set(new ZyLuaTEString(std::string("a\0b", 3)), new ZyLuaTENumber(1));
  table.Set("a", new ZyLuaTENumber(2));
  EXPECT_EQ(table.mTable.size(), 2u);
  EXPECT_EQ(NumberAt(table.elementForKey(std::string("a\0b", 3))), 1.0);
  EXPECT_EQ(NumberAt(table.elementForKey("a\0b")), 2.0);  // The text ends at its NUL.
}

TEST(TableLookup, EquivalentKeysAreOneEntry) {
  ZyLuaTETable table;
  table.Set(new ZyLuaTENil(), new ZyLuaTENumber(1));
  table.Set(new ZyLuaTENil(), new ZyLuaTENumber(2));
  table.Set(new ZyLuaTENumber(0.0), new ZyLuaTENumber(3));
  table.Set(new ZyLuaTENumber(-0.0), new ZyLuaTENumber(4));
  ASSERT_EQ(table.mTable.size(), 2u);
  ZyLuaTENil nil;
  EXPECT_EQ(NumberAt(table.elementForKey(&nil)), 2.0);
  EXPECT_EQ(NumberAt(table.elementForKey(0)), 4.0);
}

TEST(TableLookup, NullValueIsStoredAndReadsAsMissing) {
  ZyLuaTETable table;
  table.Set("gone", nullptr);
  EXPECT_EQ(table.mTable.size(), 1u);
  EXPECT_EQ(table.elementForKey("gone"), nullptr);
  table.Set("gone", new ZyLuaTENumber(5));
  EXPECT_EQ(NumberAt(table.elementForKey("gone")), 5.0);
}

TEST(TableOwnership, ReplacingAnEntryDestroysOldKeyThenOldValue) {
  DeathLog log;
  {
    ZyLuaTETable table;
    table.Set(new LoggedString("x", "key1", &log), new LoggedNumber(1, "P", &log));
    auto* secondKey = new LoggedString("x", "key2", &log);
    table.Set(secondKey, new LoggedNumber(2, "Q", &log));
    EXPECT_EQ(log, (DeathLog{"key1", "P"}));
    ASSERT_EQ(table.mTable.size(), 1u);
    EXPECT_EQ(table.mTable.begin()->first, secondKey);
    EXPECT_EQ(NumberAt(table.elementForKey("x")), 2.0);
    log.clear();
  }
  EXPECT_EQ(log, (DeathLog{"key2", "Q"}));
}

TEST(TableOwnership, DestructionVisitsKeysInAscendingOrderKeyBeforeValue) {
  DeathLog log;
  {
    ZyLuaTETable table;
    table.Set(new LoggedString("b", "key b", &log), new LoggedNumber(1, "value b", &log));
    table.Set(new LoggedNumber(10, "key 10", &log), nullptr);
    table.Set(new LoggedString("a", "key a", &log), new LoggedNumber(2, "value a", &log));
    auto* inner = new ZyLuaTETable();
    inner->Set(new LoggedNumber(1, "inner key", &log), new LoggedNumber(1, "inner value", &log));
    table.Set(new LoggedNumber(-1, "key -1", &log), inner);
    EXPECT_TRUE(log.empty());
  }
  EXPECT_EQ(log, (DeathLog{"key -1", "inner key", "inner value", "key 10", "key a", "value a",
                           "key b", "value b"}));
}

TEST(ElementConversions, OnlyTheMatchingKindConverts) {
  ZyLuaTENumber number(12.5);
  ZyLuaTEString text("12");
  ZyLuaTENil nil;
  unsigned char bytes[] = {'1'};
  ZyLuaTEData data(bytes, 1);
  ZyLuaTETable table;
  table.Set("k", new ZyLuaTENumber(1));

  EXPECT_EQ(static_cast<double>(number), 12.5);
  EXPECT_EQ(static_cast<std::string>(number), "");
  EXPECT_EQ(static_cast<std::string>(text), "12");
  EXPECT_EQ(static_cast<double>(text), 0.0);
  for (ZyLuaTE* other : std::vector<ZyLuaTE*>{&nil, &data, &table}) {
    EXPECT_EQ(static_cast<double>(*other), 0.0) << "kind " << other->mType;
    EXPECT_EQ(static_cast<std::string>(*other), "") << "kind " << other->mType;
  }
}

TEST(ElementConstruction, KindTagsAndTextSources) {
  EXPECT_EQ(ZyLuaTENil().mType, 1);
  EXPECT_EQ(ZyLuaTENumber(0).mType, 2);
  EXPECT_EQ(ZyLuaTEString("").mType, 3);
  EXPECT_EQ(ZyLuaTEData(nullptr, 0).mType, 4);
  EXPECT_EQ(ZyLuaTETable().mType, 5);

  EXPECT_EQ(ZyLuaTEString("ab\0cd").mString, "ab");
  EXPECT_EQ(ZyLuaTEString(std::string("ab\0cd", 5)).mString.size(), 5u);
  zy::String platformText(std::string("gr\xC3\xBC\xC3\x9F\0tail", 10));
  EXPECT_EQ(ZyLuaTEString(&platformText).mString, "gr\xC3\xBC\xC3\x9F");
}

TEST(ElementConstruction, DataOwnsACopyOfItsBytes) {
  unsigned char bytes[] = {9, 8, 7};
  ZyLuaTEData data(bytes, 3);
  bytes[0] = 0;
  ASSERT_EQ(data.mLength, 3);
  EXPECT_NE(data.mBytes, static_cast<void*>(bytes));
  EXPECT_EQ(static_cast<unsigned char*>(data.mBytes)[0], 9);
  EXPECT_THROW(ZyLuaTEData(bytes, -1), int);
}

TEST(ElementCopy, CopyOfATableSharesNothingAndSurvivesTheOriginal) {
  unsigned char bytes[] = {1, 2, 3, 4};
  auto* original = new ZyLuaTETable();
  original->Set("data", new ZyLuaTEData(bytes, 4));
  original->Set(new ZyLuaTENumber(2), new ZyLuaTEString("two"));
  original->Set(new ZyLuaTENil(), nullptr);
  auto* inner = new ZyLuaTETable();
  inner->Set("deep", new ZyLuaTENumber(42));
  original->Set("inner", inner);
  const std::string before = Encode(*original);
  void* originalBuffer = static_cast<ZyLuaTEData*>(original->elementForKey("data"))->mBytes;

  std::unique_ptr<ZyLuaTE> copied(original->copy());
  auto* copy = dynamic_cast<ZyLuaTETable*>(copied.get());
  ASSERT_NE(copy, nullptr);
  auto* copiedData = dynamic_cast<ZyLuaTEData*>(copy->elementForKey("data"));
  ASSERT_NE(copiedData, nullptr);
  EXPECT_NE(copiedData->mBytes, originalBuffer);
  EXPECT_NE(copy->elementForKey("inner"), inner);
  for (const auto& entry : copy->mTable) {
    if (entry.first->mType == ZyLuaTE::kData || entry.first->mType == ZyLuaTE::kTable) continue;
    auto found = original->mTable.find(entry.first);
    ASSERT_NE(found, original->mTable.end());  // An equivalent key exists...
    EXPECT_NE(found->first, entry.first);       // ...but is not the same object.
    if (found->second != nullptr) {
      EXPECT_NE(found->second, entry.second);
    }
  }

  delete original;
  EXPECT_EQ(Encode(*copy), before);  // ASan would flag any shared storage here.
  ZyLuaTENil nil;
  EXPECT_EQ(copy->mTable.count(&nil), 1u);
  EXPECT_EQ(copy->elementForKey(&nil), nullptr);
}

TEST(ElementCopy, ScalarsCopyTheirValue) {
  std::unique_ptr<ZyLuaTE> nil(ZyLuaTENil().copy());
  std::unique_ptr<ZyLuaTE> number(ZyLuaTENumber(-0.5).copy());
  std::unique_ptr<ZyLuaTE> text(ZyLuaTEString(std::string("a\0b", 3)).copy());
  EXPECT_EQ(nil->mType, ZyLuaTE::kNil);
  EXPECT_EQ(static_cast<double>(*number), -0.5);
  EXPECT_EQ(static_cast<std::string>(*text), std::string("a\0b", 3));
}

}  // namespace
