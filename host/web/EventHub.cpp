#include "host/web/EventHub.h"

#include <chrono>

#include "host/client/JsonRender.h"

namespace tether_host {

Subscription::Subscription(EventHub* hub, uint64_t key, std::string snapshot)
    : mHub(hub), mKey(key), mSnapshot(std::move(snapshot)) {}

Subscription::~Subscription() { mHub->leave(mKey); }

bool Subscription::next(std::vector<std::shared_ptr<const std::string>>* out, int waitMs) {
  zy::MutexLock lock(&mHub->mMutex);
  EventHub::Client& client = *mHub->mClients.at(mKey);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (!mHub->mClosed && client.queue.empty()) {
    if (!client.ready.waitUntil(&mHub->mMutex, deadline)) break;
  }
  if (mHub->mClosed) return false;
  for (auto& event : client.queue) out->push_back(std::move(event));
  client.queue.clear();
  return true;
}

uint64_t Subscription::dropped() const {
  zy::MutexLock lock(&mHub->mMutex);
  return mHub->mClients.at(mKey)->dropped;
}

EventHub::EventHub(size_t queueLimit, size_t maxClients)
    : mQueueLimit(queueLimit), mMaxClients(maxClients) {}

EventHub::~EventHub() = default;

void EventHub::publish(const LiveEvent& event) {
  const std::string tail = ",\"type\":" + JsonString(event.type) +
                           (event.fields.empty() ? "" : ",") + event.fields + "}";
  zy::MutexLock lock(&mMutex);
  if (mClosed) return;
  auto text = std::make_shared<const std::string>("{\"seq\":" + std::to_string(++mSeq) + tail);
  if (event.keep == LiveEvent::Keep::kLatest) {
    mLatest[event.type + '\n' + event.key] = text;
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
    client.ready.signal();
  }
}

std::unique_ptr<Subscription> EventHub::subscribe() {
  uint64_t key, seq;
  History events;
  {
    zy::MutexLock lock(&mMutex);
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
    zy::MutexLock lock(&mMutex);
    seq = mSeq;
    events = historyLocked();
  }
  return snapshotText(seq, events);
}

void EventHub::close() {
  zy::MutexLock lock(&mMutex);
  mClosed = true;
  for (auto& entry : mClients) entry.second->ready.signalAll();
}

size_t EventHub::clientCount() const {
  zy::MutexLock lock(&mMutex);
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
  zy::MutexLock lock(&mMutex);
  mClients.erase(key);
}

}  // namespace tether_host
