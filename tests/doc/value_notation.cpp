#include "tests/doc/value_notation.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "platform/FileHandle.h"
#include "source/mac_source/TetherTask.h"

namespace tether_doc {
namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : mText(text) {}

  NotatedValue parseAll() {
    NotatedValue result;
    skipBlanks();
    if (mText.compare(mPos, 6, "frame ") == 0) {
      mPos += 6;
      result.isFrame = true;
      result.id = parseId();
      result.name.reset(parseValue());
    }
    result.element.reset(parseValue());
    skipBlanks();
    if (mPos != mText.size()) fail("unexpected text");
    return result;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw std::invalid_argument(why + " at offset " + std::to_string(mPos) + " of: " + mText);
  }
  void skipBlanks() {
    while (mPos < mText.size() && std::isspace(static_cast<unsigned char>(mText[mPos]))) ++mPos;
  }
  bool take(char c) {
    skipBlanks();
    if (mPos < mText.size() && mText[mPos] == c) {
      ++mPos;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!take(c)) fail(std::string("expected '") + c + "'");
  }

  int32_t parseId() {
    skipBlanks();
    const char* start = mText.c_str() + mPos;
    char* end = nullptr;
    errno = 0;
    const long long id = std::strtoll(start, &end, 10);
    if (end == start || errno != 0 || id < INT32_MIN || id > INT32_MAX) fail("expected an id");
    mPos += static_cast<size_t>(end - start);
    return static_cast<int32_t>(id);
  }

  ZyLuaTE* parseValue() {
    skipBlanks();
    if (mText.compare(mPos, 3, "nil") == 0) {
      mPos += 3;
      return new ZyLuaTENil();
    }
    if (take('"')) return new ZyLuaTEString(parseTextBody());
    if (take('<')) {
      const size_t close = mText.find('>', mPos);
      if (close == std::string::npos) fail("unterminated data");
      std::string bytes = ParseHexBytes(mText.substr(mPos, close - mPos));
      mPos = close + 1;
      return new ZyLuaTEData(bytes.data(), static_cast<int>(bytes.size()));
    }
    if (take('{')) return parseTableBody();
    return parseNumber();
  }

  std::string parseTextBody() {
    std::string text;
    while (mPos < mText.size() && mText[mPos] != '"') {
      char c = mText[mPos++];
      if (c == '\\') {
        if (mPos >= mText.size()) fail("unterminated escape");
        const char e = mText[mPos++];
        if (e == 'x') {
          c = ParseHexBytes(mText.substr(mPos, 2))[0];
          mPos += 2;
        } else if (e == '"' || e == '\\') {
          c = e;
        } else {
          fail("unknown escape");
        }
      }
      text.push_back(c);
    }
    if (mPos >= mText.size()) fail("unterminated string");
    ++mPos;
    return text;
  }

  ZyLuaTE* parseTableBody() {
    std::unique_ptr<ZyLuaTETable> table(new ZyLuaTETable());
    if (take('}')) return table.release();
    do {
      std::unique_ptr<ZyLuaTE> key(parseValue());
      expect(':');
      ZyLuaTE* value = parseValue();
      table->Set(key.release(), value);
    } while (take(','));
    expect('}');
    return table.release();
  }

  ZyLuaTE* parseNumber() {
    const char* start = mText.c_str() + mPos;
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    if (end == start) fail("expected a value");
    mPos += static_cast<size_t>(end - start);
    return new ZyLuaTENumber(value);
  }

  const std::string& mText;
  size_t mPos = 0;
};

// Everything written to the scratch file so far.
std::string ReadBack(FILE* file) {
  std::string out;
  std::rewind(file);
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, n);
  return out;
}

}  // namespace

NotatedValue ParseNotation(const std::string& text) { return Parser(text).parseAll(); }

std::string ParseHexBytes(const std::string& text) {
  std::istringstream in(text);
  std::string pair, bytes;
  while (in >> pair) {
    if (pair.size() != 2 || !std::isxdigit(static_cast<unsigned char>(pair[0])) ||
        !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
      throw std::invalid_argument("not a hex byte: " + pair);
    }
    bytes.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
  }
  return bytes;
}

std::string EncodeAsTask(const NotatedValue& value) {
  if (!value.isFrame) {
    std::ostringstream out;
    value.element->writeToStream(out);
    return out.str();
  }
  auto* name = dynamic_cast<ZyLuaTEString*>(value.name.get());
  auto* table = dynamic_cast<ZyLuaTETable*>(value.element.get());
  if (name == nullptr) throw std::invalid_argument("a frame's name must be a string");
  if (table == nullptr && value.element->mType != ZyLuaTE::kNil) {
    throw std::invalid_argument("a frame's payload must be a table or nil");
  }
  // The task's own output side, writing into a scratch file.
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), &std::fclose);
  if (!file) throw std::runtime_error("no scratch file");
  zy::FileHandle output(fileno(file.get()));
  TetherTask task(&output);
  task.sendMessage(name, value.id, table);
  return ReadBack(file.get());
}

}  // namespace tether_doc
