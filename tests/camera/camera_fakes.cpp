#include "tests/camera/camera_fakes.h"

#include <cstring>

#include <gtest/gtest.h>

#include "platform/RunLoop.h"

#include "source/mac_source/SendMessageToClient.h"

namespace fake {

// ------------------------------------------------------------------ Message

namespace {
ZyLuaTE* Entry(const Message& m, const char* key) {
  if (!m.table) return nullptr;
  return m.table->elementForKey(key);
}
}  // namespace

double Message::number(const char* key) const {
  ZyLuaTE* e = Entry(*this, key);
  if (e == nullptr || e->mType != ZyLuaTE::kNumber) {
    ADD_FAILURE() << name << ": no number under " << key;
    return 0;
  }
  return static_cast<ZyLuaTENumber*>(e)->mValue;
}

std::string Message::string(const char* key) const {
  ZyLuaTE* e = Entry(*this, key);
  if (e == nullptr || e->mType != ZyLuaTE::kString) {
    ADD_FAILURE() << name << ": no string under " << key;
    return "";
  }
  return static_cast<ZyLuaTEString*>(e)->mString;
}

bool Message::isString(const char* key) const {
  ZyLuaTE* e = Entry(*this, key);
  return e != nullptr && e->mType == ZyLuaTE::kString;
}

std::vector<std::string> Message::keys() const {
  std::vector<std::string> result;
  if (!table) return result;
  for (const auto& entry : table->mTable) result.push_back(std::string(*entry.first));
  return result;
}

// ------------------------------------------------------------------ Host

Host& Host::get() {
  static Host host;
  return host;
}

void Host::reset() {
  std::lock_guard<std::mutex> lock(mMutex);
  mMessages.clear();
}

void Host::record(long id, const char* name, ZyLuaTETable* table) {
  Message m;
  m.id = id;
  m.name = name;
  if (table) m.table.reset(static_cast<ZyLuaTETable*>(table->copy()));
  m.thread = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(mMutex);
  mMessages.push_back(std::move(m));
}

std::vector<Message> Host::messages() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mMessages;
}

std::vector<Message> Host::named(const std::string& name) {
  std::vector<Message> result;
  for (auto& m : messages()) {
    if (m.name == name) result.push_back(m);
  }
  return result;
}

size_t Host::count() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mMessages.size();
}

bool PumpUntil(const std::function<bool()>& done, double seconds) {
  if (done()) return true;
  return zy::RunLoop::main().runUntil(done, seconds);
}

void PumpFor(double seconds) { zy::RunLoop::main().runUntil([] { return false; }, seconds); }

}  // namespace fake

void SendMessageToClient(long messageId, const char* name, ZyLuaTETable* table) {
  fake::Host::get().record(messageId, name, table);
}

void SendFrequentMessageToClient(const char* name, std::unique_ptr<ZyLuaTETable> table) {
  fake::Host::get().record(0, name, table.get());
}

long UnreadBytesAtClient() { return 0; }
