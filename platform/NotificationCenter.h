// Notifications by name and sender, delivered synchronously on the posting
// thread.
#ifndef ZY_PLATFORM_NOTIFICATION_CENTER_H_
#define ZY_PLATFORM_NOTIFICATION_CENTER_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

  // The process's one center; lives until the process ends.
  static NotificationCenter& defaultCenter();

  // A private center (for tests and embedded uses); all operations are
  // thread-safe.
  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Registers `callback` for notifications named `name` (every name when it is
  // empty) sent by `object` (any sender when it is null). `observer` is only
  // an identity for removeObserver.
  void addObserver(const void* observer, Callback callback, std::optional<std::string> name,
                   const void* object);
  // Unregisters every registration of `observer`. After it returns, none of
  // its callbacks is called by a later post, nor later by a post already in
  // progress. A call of one of its callbacks running on another thread is
  // waited for (so do not remove an observer from a thread that the callback
  // itself waits on); one running on this thread is not.
  void removeObserver(const void* observer);
  // Calls every matching callback, in registration order, on this thread,
  // before returning. Callbacks may add or remove observers: those added
  // during the post are not called by it, those removed are not called after
  // their removal. `name` is copied into the notification only when someone
  // observes it.
  void postNotification(std::string_view name, const void* object, DataRef data = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> mImpl;
};

}  // namespace zy

#endif  // ZY_PLATFORM_NOTIFICATION_CENTER_H_
