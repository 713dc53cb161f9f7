// Test harness over the real simulated SDK: registers the three callbacks,
// records every event with its payload and thread, and lets a test hook
// extra behaviour into each callback (reentrant SDK calls, blocking, exit).
#ifndef TESTS_SIMULATOR_SDK_RECORDER_H_
#define TESTS_SIMULATOR_SDK_RECORDER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace krv_test {

struct DeviceEvent {
  bool connected;
  int model;
  std::thread::id thread;
};

// A frame or change event. `bytes` holds a copy of the payload: `size` bytes,
// or for the 0xFFFFFFFF form the bytes up to and including the NUL.
struct PayloadEvent {
  int code;  // transfer state or property id
  bool nullData;
  unsigned int size;
  std::vector<uint8_t> bytes;
  std::thread::id thread;
};

class SdkRecorder {
 public:
  // Registers the frame and changes callbacks from inside the device callback
  // and sets property 31, the way the task accepts a camera.
  bool acceptLikeTask = true;
  // Hooks run inside the callbacks after the event is recorded, with no
  // recorder lock held. Set them before KRV_SDK_init.
  std::function<void(const DeviceEvent&)> onDevice;
  std::function<void(const PayloadEvent&)> onFrame;
  std::function<void(const PayloadEvent&)> onChange;

  // KRV_SDK_init with this recorder as the device callback's context.
  bool init();

  static void deviceCallback(void* context, bool connected, int model);
  static void frameCallback(void* context, int state, const void* data, unsigned int size);
  static void changesCallback(void* context, int id, const void* data, unsigned int size);

  // Waits (up to a generous deadlock guard) until `pred` holds; `pred` runs
  // under the recorder lock and may also read atomics set by the hooks.
  // Returns false if it never held.
  bool waitFor(const std::function<bool()>& pred);
  bool waitForConnected(int model);
  bool waitForFrames(size_t count);

  std::vector<DeviceEvent> devices() const;
  std::vector<PayloadEvent> frames() const;
  std::vector<PayloadEvent> changes() const;
  std::vector<int> frameStates() const;
  // Payload of the last frame event with `state`; empty if none.
  std::vector<uint8_t> lastFrame(int state) const;

  // Fields readable inside WaitFor predicates.
  mutable std::mutex mu;
  std::condition_variable cv;
  std::vector<DeviceEvent> deviceEvents;   // mu
  std::vector<PayloadEvent> frameEvents;   // mu
  std::vector<PayloadEvent> changeEvents;  // mu
};

int32_t AsInt32(const std::vector<uint8_t>& bytes);
double AsDouble(const std::vector<uint8_t>& bytes);

// Removes every KRV_SIM_* variable that the tests set.
void ClearSimulatorEnvironment();

// A control socket path unique to this process and test.
std::string TestSocketPath();

}  // namespace krv_test

#endif  // TESTS_SIMULATOR_SDK_RECORDER_H_
