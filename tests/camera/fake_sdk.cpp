// The recording fake of the camera SDK's C functions (see CameraFakes.h).
// Not linked where the real SDK library is.
#include <algorithm>
#include <cstring>

#include "tests/camera/camera_fakes.h"

namespace fake {

Sdk& Sdk::get() {
  static Sdk sdk;
  return sdk;
}

void Sdk::reset() {
  std::lock_guard<std::mutex> lock(mMutex);
  mCalls.clear();
  mValues.clear();
  mDevice = nullptr;
  mDeviceContext = nullptr;
  mFrame = nullptr;
  mFrameContext = nullptr;
  mChanges = nullptr;
  mChangesContext = nullptr;
  onCapture = nullptr;
  onRequestClose = nullptr;
  onExit = nullptr;
  onGetProperty = nullptr;
}

void Sdk::setInt(int id, int32_t value) {
  std::lock_guard<std::mutex> lock(mMutex);
  auto& bytes = mValues[id];
  bytes.resize(4);
  std::memcpy(bytes.data(), &value, 4);
}

void Sdk::setName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mMutex);
  auto& bytes = mValues[eKRV_SDK_PropCameraName];
  bytes.assign(eKRV_SDK_CameraNameMaxBytes, 0);
  std::memcpy(bytes.data(), name.data(), std::min<size_t>(name.size(), bytes.size()));
}

void Sdk::setDouble(int id, double value) {
  std::lock_guard<std::mutex> lock(mMutex);
  auto& bytes = mValues[id];
  bytes.resize(8);
  std::memcpy(bytes.data(), &value, 8);
}

void Sdk::fail(int id) {
  std::lock_guard<std::mutex> lock(mMutex);
  mValues.erase(id);
}

std::vector<std::string> Sdk::calls() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mCalls;
}

size_t Sdk::countOf(const std::string& call) {
  std::lock_guard<std::mutex> lock(mMutex);
  size_t n = 0;
  for (const auto& c : mCalls) n += c == call;
  return n;
}

void Sdk::record(const std::string& call) {
  std::lock_guard<std::mutex> lock(mMutex);
  mCalls.push_back(call);
}

bool Sdk::read(int id, void* buffer, unsigned size) {
  record("getProperty " + std::to_string(id));
  if (onGetProperty) onGetProperty(id);
  std::lock_guard<std::mutex> lock(mMutex);
  auto it = mValues.find(id);
  if (it == mValues.end() || it->second.size() != size) return false;
  std::memcpy(buffer, it->second.data(), size);
  return true;
}

void Sdk::registerDevice(KRV_SDK_DeviceCallback cb, void* context) {
  std::lock_guard<std::mutex> lock(mMutex);
  mDevice = cb;
  mDeviceContext = context;
}
void Sdk::registerFrame(KRV_SDK_FrameCallback cb, void* context) {
  std::lock_guard<std::mutex> lock(mMutex);
  mFrame = cb;
  mFrameContext = context;
}
void Sdk::registerChanges(KRV_SDK_ChangesCallback cb, void* context) {
  std::lock_guard<std::mutex> lock(mMutex);
  mChanges = cb;
  mChangesContext = context;
}

void* Sdk::deviceContext() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mDeviceContext;
}

bool Sdk::frameRegistered() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mFrame != nullptr;
}

void Sdk::device(bool connected, int modelId) {
  KRV_SDK_DeviceCallback cb;
  void* context;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    cb = mDevice;
    context = mDeviceContext;
  }
  if (cb) cb(context, connected, modelId);
}

void Sdk::frame(int state, const void* data, unsigned int size) {
  KRV_SDK_FrameCallback cb;
  void* context;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    cb = mFrame;
    context = mFrameContext;
  }
  if (cb) cb(context, state, data, size);
}

void Sdk::change(int propertyId, const void* data, unsigned int size) {
  KRV_SDK_ChangesCallback cb;
  void* context;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    cb = mChanges;
    context = mChangesContext;
  }
  if (cb) cb(context, propertyId, data, size);
}

}  // namespace fake

// ------------------------------------------------------------------ C side

extern "C" {

bool KRV_SDK_init(KRV_SDK_DeviceCallback callback, void* context) {
  fake::Sdk::get().record("init");
  fake::Sdk::get().registerDevice(callback, context);
  return true;
}

bool KRV_SDK_setFrameCallback(KRV_SDK_FrameCallback callback, void* context) {
  fake::Sdk::get().record("setFrameCallback");
  fake::Sdk::get().registerFrame(callback, context);
  return true;
}

bool KRV_SDK_setChangesCallback(KRV_SDK_ChangesCallback callback, void* context) {
  fake::Sdk::get().record("setChangesCallback");
  fake::Sdk::get().registerChanges(callback, context);
  return true;
}

bool KRV_SDK_getProperty(int propertyId, void* buffer, unsigned int size) {
  return fake::Sdk::get().read(propertyId, buffer, size);
}

bool KRV_SDK_setProperty(int propertyId, const void* value, unsigned int size) {
  std::string call = "setProperty " + std::to_string(propertyId) + " size " + std::to_string(size);
  if (size == 1) call += " value " + std::to_string(*static_cast<const unsigned char*>(value));
  fake::Sdk::get().record(call);
  return true;
}

bool KRV_SDK_capture(void) {
  fake::Sdk::get().record("capture");
  if (fake::Sdk::get().onCapture) fake::Sdk::get().onCapture();
  return true;
}

bool KRV_SDK_requestClose(void) {
  fake::Sdk::get().record("requestClose");
  if (fake::Sdk::get().onRequestClose) fake::Sdk::get().onRequestClose();
  return true;
}

bool KRV_SDK_exit(void) {
  fake::Sdk::get().record("exit");
  if (fake::Sdk::get().onExit) fake::Sdk::get().onExit();
  return true;
}

}  // extern "C"

