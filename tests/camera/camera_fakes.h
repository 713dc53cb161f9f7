// Recording fakes for the camera controller's two outside interfaces, linked
// into the camera tests in place of the real ones:
// - the SDK's C functions (KRV_SDK_*, FakeSdk.cpp): record each call, serve
//   property values or failures, keep the registered callbacks, and run test
//   hooks inside capture, requestClose, exit and getProperty (to call back
//   synchronously or from another thread);
// - SendMessageToClient (CameraFakes.cpp): copies each message (name, id,
//   table, sending thread) into a list.
// Both are thread-safe. Hooks run without any fake lock held.
#ifndef TETHER_TESTS_CAMERA_FAKES_H_
#define TETHER_TESTS_CAMERA_FAKES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "camera/KRV_SDK.h"
#include "source/ZyLuaTableMarshalling.h"

namespace fake {

class Sdk {
 public:
  static Sdk& get();
  void reset();

  // Property values served by KRV_SDK_getProperty; an id without a value, or
  // one marked failing, makes the read fail. A size that differs from the
  // stored value's also fails.
  void setInt(int id, int32_t value);
  void setDouble(int id, double value);
  // The camera's name (property 33) as a full buffer: `name`, zero-padded,
  // NOT terminated when it fills the buffer (a faulty library).
  void setName(const std::string& name);
  void fail(int id);

  // "init", "setFrameCallback", "setChangesCallback", "getProperty 30",
  // "setProperty 31 size 1 value 1", "capture", "requestClose", "exit".
  std::vector<std::string> calls();
  size_t countOf(const std::string& call);

  std::function<void()> onCapture, onRequestClose, onExit;
  std::function<void(int id)> onGetProperty;

  // Drive the registered callbacks (each does nothing if none is registered).
  void device(bool connected, int modelId);
  void frame(int state, const void* data, unsigned int size);
  void change(int propertyId, const void* data, unsigned int size);
  void changeInt(int propertyId, int32_t value) { change(propertyId, &value, 4); }
  void changeDouble(int propertyId, double value) { change(propertyId, &value, 8); }

  void* deviceContext();
  bool frameRegistered();

  // Called by the fake C functions.
  void record(const std::string& call);
  bool read(int id, void* buffer, unsigned size);
  void registerDevice(KRV_SDK_DeviceCallback cb, void* context);
  void registerFrame(KRV_SDK_FrameCallback cb, void* context);
  void registerChanges(KRV_SDK_ChangesCallback cb, void* context);

 private:
  std::mutex mMutex;  // guards everything below
  std::vector<std::string> mCalls;
  std::map<int, std::vector<unsigned char>> mValues;
  KRV_SDK_DeviceCallback mDevice = nullptr;
  void* mDeviceContext = nullptr;
  KRV_SDK_FrameCallback mFrame = nullptr;
  void* mFrameContext = nullptr;
  KRV_SDK_ChangesCallback mChanges = nullptr;
  void* mChangesContext = nullptr;
};

struct Message {
  long id = 0;
  std::string name;
  std::shared_ptr<ZyLuaTETable> table;  // a copy; null for a null payload
  std::thread::id thread;

  // Entries of the table; fail the test (and return 0 / "") when absent or of
  // another kind.
  double number(const char* key) const;
  std::string string(const char* key) const;
  bool isString(const char* key) const;
  std::vector<std::string> keys() const;
};

class Host {
 public:
  static Host& get();
  void reset();
  void record(long id, const char* name, ZyLuaTETable* table);
  std::vector<Message> messages();
  std::vector<Message> named(const std::string& name);
  size_t count();

 private:
  std::mutex mMutex;  // guards mMessages
  std::vector<Message> mMessages;
};

// Qt debug lines written since the last ClearLog(), captured by the test main.
std::vector<std::string> LogLines();
void ClearLog();

// Runs the main run loop (which drains Qt events every 0.05 s) until `done`
// or `seconds` pass; returns done().
bool PumpUntil(const std::function<bool()>& done, double seconds);
void PumpFor(double seconds);

}  // namespace fake

#endif  // TETHER_TESTS_CAMERA_FAKES_H_
