// Building tables from platform dictionaries of numbers and strings, and the
// assertion that stops anything else.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/Log.h"
#include "platform/Object.h"
#include "source/ZyLuaTableMarshalling.h"

namespace {

zy::ObjectRef Str(const std::string& text) { return std::make_shared<zy::String>(text); }
zy::ObjectRef Num(double value) { return std::make_shared<zy::Number>(value); }

// Collects log lines for the life of the object.
class LogCapture {
 public:
  LogCapture() {
    zy::SetLogSink([this](std::string_view line) { mLines.emplace_back(line); });
  }
  ~LogCapture() { zy::SetLogSink(nullptr); }
  const std::vector<std::string>& lines() const { return mLines; }

 private:
  std::vector<std::string> mLines;
};

TEST(MakeElementForObject, NumbersAndStringsOnly) {
  std::unique_ptr<ZyLuaTE> number(makeElementForObject(Num(2.5).get()));
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(number->mType, ZyLuaTE::kNumber);
  EXPECT_EQ(static_cast<double>(*number), 2.5);

  zy::Boolean yes(true), no(false);
  std::unique_ptr<ZyLuaTE> one(makeElementForObject(&yes));
  std::unique_ptr<ZyLuaTE> zero(makeElementForObject(&no));
  ASSERT_NE(one, nullptr);
  ASSERT_NE(zero, nullptr);
  EXPECT_EQ(one->mType, ZyLuaTE::kNumber);
  EXPECT_EQ(static_cast<double>(*one), 1.0);
  EXPECT_EQ(static_cast<double>(*zero), 0.0);

  zy::String text(std::string("caf\xC3\xA9\0rest", 10));
  std::unique_ptr<ZyLuaTE> string(makeElementForObject(&text));
  ASSERT_NE(string, nullptr);
  EXPECT_EQ(static_cast<std::string>(*string), "caf\xC3\xA9");

  zy::Array array({Num(1)});
  zy::Dictionary dictionary;
  dictionary.setObject(Num(1), Str("k"));
  EXPECT_EQ(makeElementForObject(&array), nullptr);
  EXPECT_EQ(makeElementForObject(&dictionary), nullptr);
  EXPECT_EQ(makeElementForObject(nullptr), nullptr);
}

TEST(AddDictionary, ConvertsEveryEntry) {
  zy::Dictionary dictionary;
  dictionary.setObject(Num(400), Str("iso"));
  dictionary.setObject(Str("M"), Str("mode"));
  dictionary.setObject(std::make_shared<zy::Boolean>(true), Str("flash"));
  dictionary.setObject(Str("number key"), Num(1));
  dictionary.setObject(Str("text key"), Str("1"));
  ZyLuaTETable table;
  table.addDictionary(&dictionary);

  ASSERT_EQ(table.mTable.size(), 5u);
  ASSERT_NE(table.elementForKey("iso"), nullptr);
  EXPECT_EQ(static_cast<double>(*table.elementForKey("iso")), 400.0);
  ASSERT_NE(table.elementForKey("mode"), nullptr);
  EXPECT_EQ(static_cast<std::string>(*table.elementForKey("mode")), "M");
  ASSERT_NE(table.elementForKey("flash"), nullptr);
  EXPECT_EQ(static_cast<double>(*table.elementForKey("flash")), 1.0);
  ASSERT_NE(table.elementForKey(1), nullptr);
  EXPECT_EQ(static_cast<std::string>(*table.elementForKey(1)), "number key");
  ASSERT_NE(table.elementForKey("1"), nullptr);
  EXPECT_EQ(static_cast<std::string>(*table.elementForKey("1")), "text key");
}

TEST(AddDictionary, ReplacesExistingKeysAndKeepsOthers) {
  ZyLuaTETable table;
  table.Set("iso", new ZyLuaTENumber(100));
  table.Set("other", new ZyLuaTENumber(7));
  zy::Dictionary empty;
  table.addDictionary(&empty);
  EXPECT_EQ(table.mTable.size(), 2u);

  zy::Dictionary dictionary;
  dictionary.setObject(Num(800), Str("iso"));
  table.addDictionary(&dictionary);
  ASSERT_EQ(table.mTable.size(), 2u);
  EXPECT_EQ(static_cast<double>(*table.elementForKey("iso")), 800.0);
  EXPECT_EQ(static_cast<double>(*table.elementForKey("other")), 7.0);
}

TEST(AddDictionary, NonConvertibleEntryLogsAndFailsTheAssertion) {
  zy::Dictionary dictionary;
  dictionary.setObject(Num(1), Str("before"));
  dictionary.setObject(std::make_shared<zy::Array>(std::vector<zy::ObjectRef>{Num(1), Num(2)}),
                       Str("list"));
  dictionary.setObject(Num(2), Str("after"));
  ZyLuaTETable table;
  LogCapture log;
  try {
    table.addDictionary(&dictionary);
    ADD_FAILURE() << "no assertion failure";
  } catch (const zy::Exception& e) {
    EXPECT_EQ(e.name(), zy::kInternalInconsistencyException);
  }
  ASSERT_GE(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0],
            "Could not convert either key or value to an ZyLuaTE element - key: list, value: (1, 2)");
  EXPECT_NE(log.lines()[1].find("addDictionary"), std::string::npos);
  EXPECT_NE(log.lines()[1].find("ZyLuaTableMarshalling:853"), std::string::npos);
  // Entries are taken in enumeration order: those before the bad one are in.
  EXPECT_NE(table.elementForKey("before"), nullptr);
  EXPECT_EQ(table.mTable.size(), 1u);
}

// Nothing in the task catches the assertion on this path; a noexcept
// boundary stands for "uncaught" (gtest would otherwise catch it).
void AddUncaught(ZyLuaTETable* table, const zy::Dictionary* dictionary) noexcept {
  table->addDictionary(dictionary);
}

TEST(AddDictionaryDeathTest, UncaughtAssertionStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        zy::Dictionary dictionary;
        dictionary.setObject(Num(1), std::make_shared<zy::Dictionary>());
        ZyLuaTETable table;
        AddUncaught(&table, &dictionary);
      },
      "Could not convert either key or value to an ZyLuaTE element - key: \\{\\}, value: 1");
}

}  // namespace
