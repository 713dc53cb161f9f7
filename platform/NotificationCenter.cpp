#include "platform/NotificationCenter.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "platform/Mutex.h"

namespace zy {

namespace {

// One addObserver call. Shared between the center's list and the snapshots
// of posts in progress, so that a registration removed during a post stays
// alive until that post is done with it.
struct Registration {
  const void* observer;
  NotificationCenter::Callback callback;
  std::optional<std::string> name;  // nullopt: every name
  const void* object;               // null: any sender
  // Under the center's Impl::mutex; not GUARDED_BY, as a registration cannot
  // name the mutex of the center that holds it.
  bool removed = false;
  std::vector<std::thread::id> callingThreads;  // one entry per call running now

  bool matches(std::string_view postedName, const void* sender) const {
    return (!name || *name == postedName) && (object == nullptr || object == sender);
  }
};

}  // namespace

struct NotificationCenter::Impl {
  Mutex mutex;
  CondVar callEnded;  // signalled when a call ends
  int removersWaiting GUARDED_BY(mutex) = 0;  // removeObserver calls waiting on callEnded
  std::vector<std::shared_ptr<Registration>> registrations
      GUARDED_BY(mutex);  // in registration order
};

NotificationCenter::NotificationCenter() : mImpl(new Impl) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may post from exit paths and other threads.
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

void NotificationCenter::addObserver(const void* observer, Callback callback,
                                     std::optional<std::string> name, const void* object) {
  auto registration = std::make_shared<Registration>();
  registration->observer = observer;
  registration->callback = std::move(callback);
  if (name && !name->empty()) registration->name = std::move(name);
  registration->object = object;
  MutexLock lock(&mImpl->mutex);
  mImpl->registrations.push_back(std::move(registration));
}

void NotificationCenter::removeObserver(const void* observer) {
  const std::thread::id self = std::this_thread::get_id();
  MutexLock lock(&mImpl->mutex);
  std::vector<std::shared_ptr<Registration>> removed;
  auto& all = mImpl->registrations;
  for (auto& registration : all) {
    if (registration->observer == observer) {
      registration->removed = true;
      removed.push_back(registration);
    }
  }
  all.erase(std::remove_if(all.begin(), all.end(),
                           [](const std::shared_ptr<Registration>& r) { return r->removed; }),
            all.end());
  // Calls already running on other threads must end before we return; a call
  // on this thread is our caller (or encloses it) and cannot be waited for.
  auto runningElsewhere = [&] {
    for (const auto& registration : removed) {
      for (std::thread::id id : registration->callingThreads) {
        if (id != self) return true;
      }
    }
    return false;
  };
  if (!runningElsewhere()) return;
  ++mImpl->removersWaiting;
  while (runningElsewhere()) mImpl->callEnded.wait(&mImpl->mutex);
  --mImpl->removersWaiting;
}

void NotificationCenter::postNotification(std::string_view name, const void* object,
                                          DataRef data) {
  const std::thread::id self = std::this_thread::get_id();
  // The matching registrations, taken under the lock. Most posts have one or
  // two, so they live on the stack; more spill into a vector.
  constexpr size_t kInline = 4;
  std::shared_ptr<Registration> inlineTargets[kInline];
  std::vector<std::shared_ptr<Registration>> moreTargets;
  size_t count = 0;
  {
    MutexLock lock(&mImpl->mutex);
    for (const auto& registration : mImpl->registrations) {
      if (!registration->matches(name, object)) continue;
      if (count < kInline) {
        inlineTargets[count] = registration;
      } else {
        moreTargets.push_back(registration);
      }
      ++count;
    }
    // Nothing runs between this snapshot and the first call, so the first
    // call is entered under the same lock.
    if (count > 0) inlineTargets[0]->callingThreads.push_back(self);
  }
  if (count == 0) return;
  Notification notification{std::string(name), object, std::move(data)};
  for (size_t i = 0; i < count; ++i) {
    Registration* registration =
        i < kInline ? inlineTargets[i].get() : moreTargets[i - kInline].get();
    if (i > 0) {
      MutexLock lock(&mImpl->mutex);
      if (registration->removed) continue;
      registration->callingThreads.push_back(self);
    }
    // Ends the call's bookkeeping even when the callback throws.
    struct CallScope {
      Impl* impl;
      Registration* registration;
      std::thread::id self;
      ~CallScope() {
        bool waited;
        {
          MutexLock lock(&impl->mutex);
          auto& ids = registration->callingThreads;
          ids.erase(std::find(ids.begin(), ids.end(), self));
          waited = impl->removersWaiting > 0;
        }
        if (waited) impl->callEnded.signalAll();
      }
    } scope{mImpl.get(), registration, self};
    registration->callback(notification);
  }
}

}  // namespace zy
