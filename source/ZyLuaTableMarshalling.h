// The value model of every message name and payload: nil, number, string,
// data and table elements, their ordering as table keys, and their byte
// encoding.
//
// Ownership: elements are heap objects with one owner. A table owns every key
// and value stored in it; copy(), createFromStream() and makeElementForObject()
// hand a new element to the caller; elementForKey() returns a borrowed pointer
// that stays valid until its entry is replaced or the table is destroyed.
#ifndef ZY_LUA_TABLE_MARSHALLING_H_
#define ZY_LUA_TABLE_MARSHALLING_H_

#include <cstdint>
#include <istream>
#include <map>
#include <ostream>
#include <string>

namespace zy {
class Object;
class String;
class Dictionary;
}  // namespace zy

// Name and reason of the exception raised when a decode runs out of bytes
// (an element cut short). More bytes may mend it.
extern const char* const kZyStreamError;  // "Stream Error"
// Name of the exception raised for input that no further bytes can mend: a
// key whose tag is not one of the five kinds, a data element with a negative
// length, or tables nested deeper than kZyMaxTableDepth.
extern const char* const kZyMalformedElement;  // "Malformed Element"
constexpr int kZyMaxTableDepth = 100;

class ZyLuaTE {
 public:
  enum Kind : int32_t { kNil = 1, kNumber = 2, kString = 3, kData = 4, kTable = 5 };

  // Ordering used for table keys: across kinds by tag (nil < number < string
  // < data < table), within a kind by the rule of that kind.
  virtual bool operator<(const ZyLuaTE& other) const;
  virtual ~ZyLuaTE() = default;
  // Writes the element's complete encoding, tag first. Never throws; a failed
  // write shows only in the stream's state.
  virtual void writeToStream(std::ostream& out) const;
  // The text of a string element; the empty string for every other kind.
  virtual operator std::string() const;
  // The value of a number element; 0.0 for every other kind.
  virtual operator double();
  // A deep copy owned by the caller. Throws the int -1 when a data buffer
  // cannot be allocated.
  virtual ZyLuaTE* copy() = 0;

  // Decodes one complete element, tag included. Returns a new element owned by
  // the caller, or null for an unrecognised tag (only its 4 bytes consumed).
  // Throws zy::Exception named kZyStreamError after a failed read, and one
  // named kZyMalformedElement for malformed input (see above).
  static ZyLuaTE* createFromStream(std::istream& in);

  // The kind tag; set once by the concrete class and never changed. The
  // orderings rely on it naming the class of the element.
  int32_t mType;

 protected:
  explicit ZyLuaTE(int32_t type) : mType(type) {}
};

// The map comparator: `*a < *b`, dispatched on the dynamic class of a.
struct ltalte {
  bool operator()(const ZyLuaTE* a, const ZyLuaTE* b) const { return *a < *b; }
};

class ZyLuaTENil : public ZyLuaTE {
 public:
  ZyLuaTENil() : ZyLuaTE(kNil) {}
  explicit ZyLuaTENil(std::istream& in);
  bool operator<(const ZyLuaTE& other) const override;
  void writeToStream(std::ostream& out) const override;
  ZyLuaTE* copy() override;
};

class ZyLuaTENumber : public ZyLuaTE {
 public:
  explicit ZyLuaTENumber(double value) : ZyLuaTE(kNumber), mValue(value) {}
  explicit ZyLuaTENumber(std::istream& in);
  bool operator<(const ZyLuaTE& other) const override;
  void writeToStream(std::ostream& out) const override;
  operator double() override { return mValue; }
  ZyLuaTE* copy() override;

  double mValue;
};

class ZyLuaTEString : public ZyLuaTE {
 public:
  explicit ZyLuaTEString(const std::string& text) : ZyLuaTE(kString), mString(text) {}
  // The bytes before the first NUL.
  explicit ZyLuaTEString(const char* text) : ZyLuaTE(kString), mString(text) {}
  // The platform string's UTF-8 form up to its first NUL. Must not be null.
  explicit ZyLuaTEString(const zy::String* text);
  explicit ZyLuaTEString(std::istream& in);
  bool operator<(const ZyLuaTE& other) const override;
  void writeToStream(std::ostream& out) const override;
  operator std::string() const override { return mString; }
  ZyLuaTE* copy() override;

  std::string mString;
};

class ZyLuaTEData : public ZyLuaTE {
 public:
  // Copies `length` bytes into a fresh malloc'd buffer (at least one byte, so
  // that every data element has a buffer address of its own); throws the int
  // -1 when it cannot be allocated or `length` is negative.
  ZyLuaTEData(void* bytes, int length);
  explicit ZyLuaTEData(std::istream& in);
  ~ZyLuaTEData() override;
  ZyLuaTEData(const ZyLuaTEData&) = delete;
  ZyLuaTEData& operator=(const ZyLuaTEData&) = delete;
  bool operator<(const ZyLuaTE& other) const override;
  void writeToStream(std::ostream& out) const override;
  ZyLuaTE* copy() override;

  void* mBytes = nullptr;  // Owned, malloc/free; never null once constructed.
  int32_t mLength = 0;
};

class ZyLuaTETable : public ZyLuaTE {
 public:
  ZyLuaTETable() : ZyLuaTE(kTable) {}
  explicit ZyLuaTETable(std::istream& in);
  // Destroys, in ascending key order, each key and then its value.
  ~ZyLuaTETable() override;
  ZyLuaTETable(const ZyLuaTETable&) = delete;
  ZyLuaTETable& operator=(const ZyLuaTETable&) = delete;
  bool operator<(const ZyLuaTE& other) const override;
  // An absent (null) value is written as a nil.
  void writeToStream(std::ostream& out) const override;
  ZyLuaTE* copy() override;

  // Stores the pair, taking ownership of both; `key` must not be null, a null
  // `value` is stored as an absent value. An entry under an equivalent key is
  // removed first and its old key, then its old value, destroyed.
  void Set(ZyLuaTE* key, ZyLuaTE* value);
  void Set(const char* key, ZyLuaTE* value);

  // Borrowed value under an equivalent key, or null.
  ZyLuaTE* elementForKey(ZyLuaTE* key);
  ZyLuaTE* elementForKey(std::string key);
  ZyLuaTE* elementForKey(const char* key);
  ZyLuaTE* elementForKey(int key);

  // Stores every entry of `dictionary` (numbers and strings only) through Set.
  // Anything else is a broken contract: logged, then an assertion failure.
  void addDictionary(const zy::Dictionary* dictionary);

  std::map<ZyLuaTE*, ZyLuaTE*, ltalte> mTable;

 private:
  ZyLuaTETable(std::istream& in, int depth);
  friend ZyLuaTE* ZyLuaTECreateFromStreamAtDepth(std::istream& in, int depth);
};

// A new element for a number (booleans included) or a string object, owned by
// the caller; null for anything else.
ZyLuaTE* makeElementForObject(const zy::Object* object);

#endif  // ZY_LUA_TABLE_MARSHALLING_H_
