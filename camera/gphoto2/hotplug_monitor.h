// Tells the worker when a USB device comes or goes, through libudev, where
// udev runs; elsewhere it says so and the worker polls detection once a
// second. Thread: one thread (the worker).
#ifndef KRV_GPHOTO_HOTPLUG_MONITOR_H_
#define KRV_GPHOTO_HOTPLUG_MONITOR_H_

struct udev;
struct udev_monitor;

namespace krv_gphoto {

class HotplugMonitor {
 public:
  HotplugMonitor();
  ~HotplugMonitor();
  HotplugMonitor(const HotplugMonitor&) = delete;
  HotplugMonitor& operator=(const HotplugMonitor&) = delete;

  // The descriptor to poll for readability, or -1 without udev.
  int fd() const;
  // Reads what is pending; true when a USB device was added.
  bool drainAdded();

 private:
  struct udev* mUdev = nullptr;
  struct udev_monitor* mMonitor = nullptr;
};

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_HOTPLUG_MONITOR_H_
