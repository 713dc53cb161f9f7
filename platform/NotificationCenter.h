// Notifications by name and sender, delivered synchronously on the posting
// thread.
#ifndef ZY_PLATFORM_NOTIFICATION_CENTER_H_
#define ZY_PLATFORM_NOTIFICATION_CENTER_H_

#include <functional>
#include <optional>
#include <string>

#include "platform/Data.h"

namespace zy {

struct Notification {
  std::string name;
  const void* object = nullptr;  // the sender
  DataRef data;                  // user information: the bytes of a read, if any
};

class NotificationCenter {
 public:
  using Callback = std::function<void(const Notification&)>;

  // The process's one center.
  static NotificationCenter& defaultCenter();

  // Registers `callback` for notifications named `name` (every name when it is
  // empty) sent by `object` (any sender when it is null). `observer` is only
  // an identity for removeObserver.
  void addObserver(const void* observer, Callback callback, std::optional<std::string> name,
                   const void* object);
  // Unregisters every registration of `observer`. After it returns, none of
  // its callbacks is called by a later post.
  void removeObserver(const void* observer);
  // Calls every matching callback, in registration order, on this thread,
  // before returning. Callbacks may add or remove observers.
  void postNotification(const std::string& name, const void* object, DataRef data = nullptr);

  // ... implementation details private to NotificationCenter.cpp
 private:
  struct Impl;
  Impl* impl();
};

}  // namespace zy

#endif  // ZY_PLATFORM_NOTIFICATION_CENTER_H_
