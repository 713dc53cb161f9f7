#include "host/session/SettingStep.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "source/ProtocolNames.h"

namespace tether_host {
namespace {

// One setting's entry of a "getCameraChoices" reply; texts starting with a
// digit or "Bulb" stay texts when `texts` is set.
std::unique_ptr<ZyLuaTETable> Entry(const std::vector<std::string>& values, bool texts) {
  auto list = new ZyLuaTETable;
  for (size_t i = 0; i < values.size(); ++i) {
    ZyLuaTE* v = texts ? static_cast<ZyLuaTE*>(new ZyLuaTEString(values[i]))
                       : new ZyLuaTENumber(std::stod(values[i]));
    list->Set(new ZyLuaTENumber(static_cast<double>(i + 1)), v);
  }
  auto entry = std::make_unique<ZyLuaTETable>();
  entry->Set(tether::proto::kChoices, list);
  return entry;
}

std::string Shown(const std::unique_ptr<ZyLuaTE>& v) {
  if (!v) return "none";
  if (v->mType == ZyLuaTE::kString) return static_cast<std::string>(*v);
  return std::to_string(static_cast<double>(*v)).substr(0, 4);
}

TEST(SettingStepTest, StepsByValueClampsAtTheEndsAndStartsFromBetweenChoices) {
  const std::vector<std::string> iso = {"800", "100", "400", "200"};  // any order
  const std::vector<std::string> shutter = {"Bulb", "30", "2.5", "1/4", "1/250", "1/1000"};
  struct Case {
    bool texts;
    std::string current;
    int steps;
    std::string expected;
  } cases[] = {
      {false, "200", +1, "400."},  {false, "200", -1, "100."}, {false, "200", +5, "800."},
      {false, "800", +1, "none"},  {false, "100", -2, "none"}, {false, "300", +1, "400."},
      {false, "300", -1, "200."},  {false, "900", -1, "800."}, {true, "1/250", +1, "1/4"},
      {true, "1/250", -1, "1/1000"}, {true, "30", +1, "Bulb"}, {true, "Bulb", +1, "none"},
      {true, "1/500", +1, "1/250"}, {true, "Daylight", +1, "none"},
  };
  for (const Case& c : cases) {
    auto entry = Entry(c.texts ? shutter : iso, c.texts);
    std::unique_ptr<ZyLuaTE> current(c.texts ? static_cast<ZyLuaTE*>(new ZyLuaTEString(c.current))
                                             : new ZyLuaTENumber(std::stod(c.current)));
    EXPECT_EQ(Shown(StepChoice(entry.get(), current.get(), c.steps)), c.expected)
        << c.current << " " << c.steps;
  }
}

TEST(SettingStepTest, NothingToStepFromOrTo) {
  auto entry = Entry({"100", "200"}, false);
  ZyLuaTENumber current(100);
  EXPECT_FALSE(StepChoice(entry.get(), nullptr, 1));
  EXPECT_FALSE(StepChoice(nullptr, &current, 1));
  EXPECT_FALSE(StepChoice(entry.get(), &current, 0));
  auto empty = Entry({}, false);
  EXPECT_FALSE(StepChoice(empty.get(), &current, 1));
  ZyLuaTEString notATable("x");
  EXPECT_FALSE(StepChoice(&notATable, &current, 1));
}

}  // namespace
}  // namespace tether_host
