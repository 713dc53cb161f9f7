#include "host/web/EventHub.h"

#include <chrono>

#include "host/JsonRender.h"

namespace tether_host {

Subscription::Subscription(EventHub* hub, uint64_t key, std::string snapshot)
    : mHub(hub), mKey(key), mSnapshot(std::move(snapshot)) {}

Subscription::~Subscription() { mHub->leave(mKey); }

bool Subscription::next(std::vector<std::shared_ptr<const std::string>>* out, int waitMs) {
  std::unique_lock<std::mutex> lock(mHub->mMutex);
  EventHub::Client& client = *mHub->mClients.at(mKey);
  client.ready.wait_for(lock, std::chrono::milliseconds(waitMs),
                        [&] { return mHub->mClosed || !client.queue.empty(); });
  if (mHub->mClosed) return false;
  for (auto& event : client.queue) out->push_back(std::move(event));
  client.queue.clear();
  return true;
}

uint64_t Subscription::dropped() const {
  std::lock_guard<std::mutex> lock(mHub->mMutex);
  return mHub->mClients.at(mKey)->dropped;
}

EventHub::EventHub(size_t queueLimit, size_t maxClients)
    : mQueueLimit(queueLimit), mMaxClients(maxClients) {}

EventHub::~EventHub() = default;

void EventHub::publish(const LiveEvent& event) {
  const std::string tail = ",\"type\":" + JsonString(event.type) +
                           (event.fields.empty() ? "" : ",") + event.fields + "}";
  std::lock_guard<std::mutex> lock(mMutex);
  if (mClosed) return;
  auto text = std::make_shared<const std::string>("{\"seq\":" + std::to_string(++mSeq) + tail);
  if (event.keep == LiveEvent::Keep::kLatest) {
    mLatest[event.type] = text;
  } else {
    mHistory.push_back(text);
  }
  for (auto& entry : mClients) {
    Client& client = *entry.second;
    if (client.queue.size() >= mQueueLimit) {
      client.queue.pop_front();
      ++client.dropped;
    }
    client.queue.push_back(text);
    client.ready.notify_one();
  }
}

std::unique_ptr<Subscription> EventHub::subscribe() {
  uint64_t key, seq;
  History events;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mClosed || mClients.size() >= mMaxClients) return nullptr;
    key = mNextKey++;
    seq = mSeq;
    events = historyLocked();
    mClients.emplace(key, std::make_unique<Client>());
  }
  return std::unique_ptr<Subscription>(new Subscription(this, key, snapshotText(seq, events)));
}

std::string EventHub::snapshot() const {
  uint64_t seq;
  History events;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    seq = mSeq;
    events = historyLocked();
  }
  return snapshotText(seq, events);
}

void EventHub::close() {
  std::lock_guard<std::mutex> lock(mMutex);
  mClosed = true;
  for (auto& entry : mClients) entry.second->ready.notify_all();
}

size_t EventHub::clientCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mClients.size();
}

// Latest-only events first (camera, then settings, by type name), then the
// captures in the order they happened.
EventHub::History EventHub::historyLocked() const {
  History events;
  events.reserve(mLatest.size() + mHistory.size());
  for (const auto& entry : mLatest) events.push_back(entry.second);
  events.insert(events.end(), mHistory.begin(), mHistory.end());
  return events;
}

std::string EventHub::snapshotText(uint64_t seq, const History& events) {
  size_t size = 64;
  for (const auto& e : events) size += e->size() + 1;
  std::string text;
  text.reserve(size);
  text += "{\"seq\":" + std::to_string(seq) + ",\"type\":\"snapshot\",\"events\":[";
  for (size_t i = 0; i < events.size(); ++i) {
    if (i > 0) text += ',';
    text += *events[i];
  }
  text += "]}";
  return text;
}

void EventHub::leave(uint64_t key) {
  std::lock_guard<std::mutex> lock(mMutex);
  mClients.erase(key);
}

}  // namespace tether_host
