// Minimal stand-ins for the platform's number, string and dictionary objects,
// as far as converting a dictionary into a table needs them.
#ifndef ZY_PLATFORM_OBJECT_H_
#define ZY_PLATFORM_OBJECT_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zy {

class Object {
 public:
  virtual ~Object() = default;
  // A human-readable form, used when an object is logged.
  virtual std::string description() const = 0;
  virtual bool isEqual(const Object& other) const = 0;
};
using ObjectRef = std::shared_ptr<const Object>;

class Number : public Object {
 public:
  explicit Number(double value) : mValue(value) {}
  double doubleValue() const { return mValue; }
  std::string description() const override;
  bool isEqual(const Object& other) const override;

 private:
  double mValue;
};

// Booleans are numbers (1 and 0) that describe themselves as true and false.
class Boolean : public Number {
 public:
  explicit Boolean(bool value) : Number(value ? 1.0 : 0.0) {}
  std::string description() const override;
};

class String : public Object {
 public:
  explicit String(std::string utf8) : mText(std::move(utf8)) {}
  // The UTF-8 text, NUL-terminated; valid while the string lives.
  const char* UTF8String() const { return mText.c_str(); }
  std::string description() const override { return mText; }
  bool isEqual(const Object& other) const override;

 private:
  std::string mText;
};

// Holds other objects in a list; only here so that conversions can be shown
// to refuse it.
class Array : public Object {
 public:
  explicit Array(std::vector<ObjectRef> items = {}) : mItems(std::move(items)) {}
  std::string description() const override;
  bool isEqual(const Object& other) const override;

 private:
  std::vector<ObjectRef> mItems;
};

// Keys enumerate in the order they were first set.
class Dictionary : public Object {
 public:
  // Replaces the value of an equal key, or adds the pair at the end.
  void setObject(ObjectRef value, ObjectRef key);
  // The value under an equal key, or null.
  const Object* objectForKey(const Object& key) const;
  // The keys, in enumeration order.
  std::vector<ObjectRef> keys() const;
  size_t count() const { return mEntries.size(); }
  std::string description() const override;
  bool isEqual(const Object& other) const override;

 private:
  std::vector<std::pair<ObjectRef, ObjectRef>> mEntries;
};

}  // namespace zy

#endif  // ZY_PLATFORM_OBJECT_H_
