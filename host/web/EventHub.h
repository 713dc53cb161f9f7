// Fans the session's events out to every live page, each through a bounded
// queue of its own: publishing never waits for a client, and a client that
// falls behind loses its oldest updates (it sees a gap in "seq" and can ask
// for the whole state again). The hub also keeps what a newly opened page
// needs: the latest camera and settings events and every capture event.
//
// Thread: any. Publishing holds the hub's lock for a pointer push per client.
#ifndef TETHER_HOST_WEB_EVENT_HUB_H_
#define TETHER_HOST_WEB_EVENT_HUB_H_

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Mutex.h"

namespace tether_host {

// One event for the page. `fields` are JSON object members without braces
// ("\"name\":\"X\""); the hub adds "seq" and "type".
struct LiveEvent {
  enum class Keep { kLatest, kHistory };  // the newest of its type and key, or all of them
  LiveEvent(std::string type, std::string fields, Keep keep = Keep::kHistory, std::string key = "")
      : type(std::move(type)), fields(std::move(fields)), keep(keep), key(std::move(key)) {}
  std::string type;
  std::string fields;
  Keep keep = Keep::kHistory;
  std::string key;  // with kLatest: one kept per key ("3": capture 3's rating)
};

class EventHub;

// One client's queue. Destroying it leaves the hub.
class Subscription {
 public:
  ~Subscription();
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  // The state when the client joined, as one "snapshot" event; queued events
  // continue from it without a gap.
  const std::string& snapshot() const { return mSnapshot; }
  // Waits up to `waitMs` for events and moves them (JSON texts, oldest
  // first) to *out. False once the hub is closed.
  bool next(std::vector<std::shared_ptr<const std::string>>* out, int waitMs);
  // Events this client lost because it fell behind.
  uint64_t dropped() const;

 private:
  friend class EventHub;
  Subscription(EventHub* hub, uint64_t key, std::string snapshot);
  EventHub* mHub;
  uint64_t mKey;
  std::string mSnapshot;
};

class EventHub {
 public:
  // Each client holds at most `queueLimit` events; at most `maxClients`
  // subscriptions at once.
  EventHub(size_t queueLimit, size_t maxClients);
  // Every Subscription must be gone first.
  ~EventHub();

  void publish(const LiveEvent& event);
  // Null when the hub is closed or full.
  std::unique_ptr<Subscription> subscribe();
  // {"seq":N,"type":"snapshot","events":[...]}: the state as of event N.
  std::string snapshot() const;
  // Wakes every waiting client and makes next() return false.
  void close();
  size_t clientCount() const;

 private:
  friend class Subscription;
  // A client's fields are under the hub's mMutex, which a Client cannot name.
  struct Client {
    std::deque<std::shared_ptr<const std::string>> queue;
    uint64_t dropped = 0;
    zy::CondVar ready;
  };
  using History = std::vector<std::shared_ptr<const std::string>>;
  History historyLocked() const REQUIRES(mMutex);
  static std::string snapshotText(uint64_t seq, const History& events);
  void leave(uint64_t key);

  const size_t mQueueLimit;
  const size_t mMaxClients;
  mutable zy::Mutex mMutex;
  uint64_t mSeq GUARDED_BY(mMutex) = 0;
  uint64_t mNextKey GUARDED_BY(mMutex) = 1;
  bool mClosed GUARDED_BY(mMutex) = false;
  std::map<std::string, std::shared_ptr<const std::string>> mLatest GUARDED_BY(mMutex);  // by type, key
  History mHistory GUARDED_BY(mMutex);
  std::map<uint64_t, std::unique_ptr<Client>> mClients GUARDED_BY(mMutex);
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_EVENT_HUB_H_
