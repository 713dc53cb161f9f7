#include "host/session/SettingStep.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "source/ProtocolNames.h"

namespace tether_host {

namespace {

// Where a value stands: a number as it is, a shutter text in seconds, Bulb
// beyond every time; NaN for what has no place (a preset's name).
double Order(ZyLuaTE* value) {
  const double none = std::numeric_limits<double>::quiet_NaN();
  if (value == nullptr) return none;
  if (value->mType == ZyLuaTE::kNumber) return static_cast<double>(*value);
  if (value->mType != ZyLuaTE::kString) return none;
  const std::string text = static_cast<std::string>(*value);
  if (text == "Bulb") return std::numeric_limits<double>::infinity();
  const char* begin = text.c_str();
  char* end = nullptr;
  const double whole = std::strtod(begin, &end);
  if (end == begin) return none;
  if (*end == '\0') return whole;
  if (*end != '/') return none;
  const char* denominator = end + 1;
  const double below = std::strtod(denominator, &end);
  if (end == denominator || *end != '\0' || below <= 0) return none;
  return whole / below;
}

}  // namespace

std::unique_ptr<ZyLuaTE> StepChoice(ZyLuaTE* entry, ZyLuaTE* current, int steps) {
  if (entry == nullptr || entry->mType != ZyLuaTE::kTable || steps == 0) return nullptr;
  ZyLuaTE* list = static_cast<ZyLuaTETable*>(entry)->elementForKey(tether::proto::kChoices);
  if (list == nullptr || list->mType != ZyLuaTE::kTable) return nullptr;
  auto* choices = static_cast<ZyLuaTETable*>(list);
  std::vector<std::pair<double, ZyLuaTE*>> ordered;
  for (size_t i = 1; i <= choices->mTable.size(); ++i) {
    ZyLuaTE* choice = choices->elementForKey(static_cast<int>(i));
    const double order = Order(choice);
    if (!std::isnan(order)) ordered.emplace_back(order, choice);
  }
  const double now = Order(current);
  if (ordered.empty() || std::isnan(now)) return nullptr;
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // A value within a millionth of a choice is that choice.
  const auto same = [now](double order) {
    return order == now || std::fabs(order - now) <= 1e-6 * std::max(1.0, std::fabs(now));
  };
  long at;  // the index reached by the first step
  if (steps > 0) {
    at = 0;
    while (at < static_cast<long>(ordered.size()) && (ordered[at].first < now || same(ordered[at].first))) ++at;
    if (at == static_cast<long>(ordered.size())) return nullptr;
  } else {
    at = static_cast<long>(ordered.size()) - 1;
    while (at >= 0 && (ordered[at].first > now || same(ordered[at].first))) --at;
    if (at < 0) return nullptr;
  }
  const long last = static_cast<long>(ordered.size()) - 1;
  const long target = std::clamp(at + (steps > 0 ? steps - 1 : steps + 1), 0L, last);
  return std::unique_ptr<ZyLuaTE>(ordered[target].second->copy());
}

}  // namespace tether_host
