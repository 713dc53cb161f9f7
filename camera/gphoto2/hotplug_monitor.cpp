#include "camera/gphoto2/hotplug_monitor.h"

#include <libudev.h>
#include <unistd.h>

#include <cstring>

namespace krv_gphoto {

HotplugMonitor::HotplugMonitor() {
  // Without a running udev (containers, minimal systems) no event would come.
  if (access("/run/udev/control", F_OK) != 0) return;
  mUdev = udev_new();
  if (mUdev == nullptr) return;
  mMonitor = udev_monitor_new_from_netlink(mUdev, "udev");
  if (mMonitor == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(mMonitor, "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(mMonitor) < 0) {
    if (mMonitor != nullptr) udev_monitor_unref(mMonitor);
    mMonitor = nullptr;
  }
}

HotplugMonitor::~HotplugMonitor() {
  if (mMonitor != nullptr) udev_monitor_unref(mMonitor);
  if (mUdev != nullptr) udev_unref(mUdev);
}

int HotplugMonitor::fd() const {
  return mMonitor != nullptr ? udev_monitor_get_fd(mMonitor) : -1;
}

bool HotplugMonitor::drainAdded() {
  if (mMonitor == nullptr) return false;
  bool added = false;
  // Bounded: a burst of events is read in one go, not forever.
  for (int i = 0; i < 64; ++i) {
    udev_device* device = udev_monitor_receive_device(mMonitor);
    if (device == nullptr) break;
    const char* action = udev_device_get_action(device);
    if (action != nullptr && std::strcmp(action, "add") == 0) added = true;
    udev_device_unref(device);
  }
  return added;
}

}  // namespace krv_gphoto
