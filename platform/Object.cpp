#include "platform/Object.h"

#include <cstdio>
#include <cstdlib>

namespace zy {

std::string Number::description() const {
  // The shortest form that reads back as the same value: 400, 2.5, 0.1.
  char text[32];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, mValue);
    if (std::strtod(text, nullptr) == mValue) break;
  }
  return text;
}

bool Number::isEqual(const Object& other) const {
  const auto* number = dynamic_cast<const Number*>(&other);
  return number != nullptr && number->mValue == mValue;
}

std::string Boolean::description() const { return doubleValue() != 0.0 ? "true" : "false"; }

bool String::isEqual(const Object& other) const {
  const auto* text = dynamic_cast<const String*>(&other);
  return text != nullptr && text->mText == mText;
}

std::string Array::description() const {
  std::string text = "(";
  for (size_t i = 0; i < mItems.size(); ++i) {
    if (i > 0) text += ", ";
    text += mItems[i] ? mItems[i]->description() : "(null)";
  }
  return text + ")";
}

bool Array::isEqual(const Object& other) const {
  const auto* array = dynamic_cast<const Array*>(&other);
  if (array == nullptr || array->mItems.size() != mItems.size()) return false;
  for (size_t i = 0; i < mItems.size(); ++i) {
    const Object* a = mItems[i].get();
    const Object* b = array->mItems[i].get();
    if (a == nullptr || b == nullptr ? a != b : !a->isEqual(*b)) return false;
  }
  return true;
}

void Dictionary::setObject(ObjectRef value, ObjectRef key) {
  for (auto& entry : mEntries) {
    if (entry.first->isEqual(*key)) {
      entry.second = std::move(value);
      return;
    }
  }
  mEntries.emplace_back(std::move(key), std::move(value));
}

const Object* Dictionary::objectForKey(const Object& key) const {
  for (const auto& entry : mEntries) {
    if (entry.first->isEqual(key)) return entry.second.get();
  }
  return nullptr;
}

std::vector<ObjectRef> Dictionary::keys() const {
  std::vector<ObjectRef> result;
  result.reserve(mEntries.size());
  for (const auto& entry : mEntries) result.push_back(entry.first);
  return result;
}

std::string Dictionary::description() const {
  std::string text = "{";
  for (const auto& entry : mEntries) {
    text += entry.first->description();
    text += " = ";
    text += entry.second ? entry.second->description() : "(null)";
    text += "; ";
  }
  if (!mEntries.empty()) text.resize(text.size() - 1);
  return text + "}";
}

bool Dictionary::isEqual(const Object& other) const {
  const auto* dictionary = dynamic_cast<const Dictionary*>(&other);
  if (dictionary == nullptr || dictionary->count() != count()) return false;
  for (const auto& entry : mEntries) {
    const Object* theirs = dictionary->objectForKey(*entry.first);
    if (theirs == nullptr || entry.second == nullptr ? theirs != entry.second.get()
                                                     : !entry.second->isEqual(*theirs)) {
      return false;
    }
  }
  return true;
}

}  // namespace zy
