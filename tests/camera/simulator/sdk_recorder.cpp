#include "tests/camera/simulator/sdk_recorder.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "camera/KRV_SDK.h"

namespace krv_test {
namespace {

// Only a hang guard: a correct run never comes close to it.
constexpr std::chrono::seconds kWaitLimit{60};

PayloadEvent MakeEvent(int code, const void* data, unsigned int size) {
  PayloadEvent e{code, data == nullptr, size, {}, std::this_thread::get_id()};
  if (data != nullptr) {
    const auto* p = static_cast<const uint8_t*>(data);
    const size_t n = size == 0xFFFFFFFFu ? std::strlen(static_cast<const char*>(data)) + 1 : size;
    e.bytes.assign(p, p + n);
  }
  return e;
}

}  // namespace

bool SdkRecorder::init() { return KRV_SDK_init(&SdkRecorder::deviceCallback, this); }

void SdkRecorder::deviceCallback(void* context, bool connected, int model) {
  auto* self = static_cast<SdkRecorder*>(context);
  const DeviceEvent e{connected, model, std::this_thread::get_id()};
  if (connected && self->acceptLikeTask) {
    KRV_SDK_setFrameCallback(&SdkRecorder::frameCallback, self);
    KRV_SDK_setChangesCallback(&SdkRecorder::changesCallback, self);
    const uint8_t one = 1;
    KRV_SDK_setProperty(eKRV_SDK_PropHostAccepted, &one, 1);
    double aperture;
    KRV_SDK_getProperty(eKRV_SDK_PropAperture, &aperture, sizeof(aperture));
  }
  {
    std::lock_guard<std::mutex> lock(self->mu);
    self->deviceEvents.push_back(e);
  }
  self->cv.notify_all();
  if (self->onDevice) self->onDevice(e);
}

void SdkRecorder::frameCallback(void* context, int state, const void* data, unsigned int size) {
  auto* self = static_cast<SdkRecorder*>(context);
  PayloadEvent e = MakeEvent(state, data, size);
  {
    std::lock_guard<std::mutex> lock(self->mu);
    self->frameEvents.push_back(e);
  }
  self->cv.notify_all();
  if (self->onFrame) self->onFrame(e);
}

void SdkRecorder::changesCallback(void* context, int id, const void* data, unsigned int size) {
  auto* self = static_cast<SdkRecorder*>(context);
  PayloadEvent e = MakeEvent(id, data, size);
  {
    std::lock_guard<std::mutex> lock(self->mu);
    self->changeEvents.push_back(e);
  }
  self->cv.notify_all();
  if (self->onChange) self->onChange(e);
}

bool SdkRecorder::waitFor(const std::function<bool()>& pred) {
  // Wakes on every recorded event, and polls as well, since predicates may
  // also look at state that hooks change after the recording.
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  std::unique_lock<std::mutex> lock(mu);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    cv.wait_for(lock, std::chrono::milliseconds(5));
  }
  return true;
}

bool SdkRecorder::waitForConnected(int model) {
  return waitFor([&] {
    for (const DeviceEvent& e : deviceEvents) {
      if (e.connected && e.model == model) return true;
    }
    return false;
  });
}

bool SdkRecorder::waitForFrames(size_t count) {
  return waitFor([&] { return frameEvents.size() >= count; });
}

std::vector<DeviceEvent> SdkRecorder::devices() const {
  std::lock_guard<std::mutex> lock(mu);
  return deviceEvents;
}

std::vector<PayloadEvent> SdkRecorder::frames() const {
  std::lock_guard<std::mutex> lock(mu);
  return frameEvents;
}

std::vector<PayloadEvent> SdkRecorder::changes() const {
  std::lock_guard<std::mutex> lock(mu);
  return changeEvents;
}

std::vector<int> SdkRecorder::frameStates() const {
  std::vector<int> states;
  for (const PayloadEvent& e : frames()) states.push_back(e.code);
  return states;
}

std::vector<uint8_t> SdkRecorder::lastFrame(int state) const {
  std::lock_guard<std::mutex> lock(mu);
  for (auto it = frameEvents.rbegin(); it != frameEvents.rend(); ++it) {
    if (it->code == state) return it->bytes;
  }
  return {};
}

int32_t AsInt32(const std::vector<uint8_t>& bytes) {
  EXPECT_EQ(bytes.size(), 4u);
  int32_t v = 0;
  if (bytes.size() == 4) std::memcpy(&v, bytes.data(), 4);
  return v;
}

double AsDouble(const std::vector<uint8_t>& bytes) {
  EXPECT_EQ(bytes.size(), 8u);
  double v = 0;
  if (bytes.size() == 8) std::memcpy(&v, bytes.data(), 8);
  return v;
}

void ClearSimulatorEnvironment() {
  for (const char* name :
       {"KRV_SIM_MODEL", "KRV_SIM_CONNECT_DELAY_MS", "KRV_SIM_FILE_FORMAT", "KRV_SIM_SYNC_CALLBACKS",
        "KRV_SIM_LOG", "KRV_SIM_CONTROL", "KRV_SIM_IMAGE_WIDTH", "KRV_SIM_IMAGE_HEIGHT",
        "KRV_SIM_DNG_BYTES", "KRV_SIM_JPEG_QUALITY", "KRV_SIM_ORIENTATION", "KRV_SIM_OBJECT_NAME",
        "KRV_SIM_NAME_NUL"}) {
    ::unsetenv(name);
  }
}

std::string TestSocketPath() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? info->name() : "none";
  if (name.size() > 40) name.resize(40);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return "/tmp/krv-sim-" + std::to_string(::getpid()) + "-" + name + ".sock";
}

}  // namespace krv_test
