#include "host/web/LiveServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "host/client/JsonRender.h"
#include "host/saving/RatingSidecar.h"
#include "host/client/CameraSettings.h"
#include "host/web/ByteRange.h"
#include "host/web/LiveObserver.h"
#include "host/web/PageAssets.h"
#include "source/ProtocolNames.h"

namespace tether_host {
namespace {

using HandlerResponse = httplib::Server::HandlerResponse;

constexpr size_t kFileChunk = 64 * 1024;

const char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void Refuse(httplib::Response& res, int status, const char* why) {
  res.status = status;
  res.set_content(std::string(why) + "\n", "text/plain; charset=utf-8");
}

// Every response's own headers, also those of a live frame written
// straight to its page's socket.
const std::pair<const char*, const char*> kDefaultHeaders[] = {
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
    {"Cache-Control", "no-store"},
};

// The head of a live frame's response written from the session's thread;
// the connection ends after it (the page opens the next at once).
std::string FrameHead(const LiveFrames::Frame& frame) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                     std::to_string(frame.jpeg->size()) + "\r\nX-Frame-Sequence: " +
                     std::to_string(frame.sequence) + "\r\n";
  for (const auto& [name, value] : kDefaultHeaders) head += std::string(name) + ": " + value + "\r\n";
  return head + "Connection: close\r\n\r\n";
}

// The rest of a response written from the session's thread, in waits of
// at most `timeoutMs` for the socket.
bool WriteRest(int fd, const std::string& head, const std::string& body, size_t sent, int timeoutMs) {
  while (sent < head.size() + body.size()) {
    const bool inHead = sent < head.size();
    const char* at = inHead ? head.data() + sent : body.data() + (sent - head.size());
    const size_t left = inHead ? head.size() - sent : body.size() - (sent - head.size());
    const ssize_t n = send(fd, at, left, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
  }
  return true;
}

bool IsAssetPath(const std::string& path) {
  for (const PageAsset& asset : PageAssets()) {
    if (path == asset.path) return true;
  }
  return false;
}

std::string StatusText(int status) {
  switch (status) {
    case 400: return "Bad request\n";
    case 404: return "Not found\n";
    case 409: return "Not possible now\n";
    case 503: return "Not available now\n";
    case 413: return "Request too large\n";
    case 414: return "Address too long\n";
    default: return "HTTP status " + std::to_string(status) + "\n";
  }
}

// A raw file other than a DNG has no registered type a browser would use.
const char* ContentTypeOf(FileKind kind, const std::string& path) {
  if (kind != FileKind::kRaw) return "image/jpeg";
  return RawExtensionOf(path) == "dng" ? "image/x-adobe-dng" : "application/octet-stream";
}

// attachment; filename="IMG_0001.jpg": the name as saved, with anything a
// header could misread replaced.
std::string Attachment(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f ||
        c == '"' || c == '\\') {
      c = '_';
    }
  }
  return "attachment; filename=\"" + name + "\"";
}

constexpr size_t kMaxValueBytes = 32;  // "Fluor. Warm", "1/8000", "10000K"

// One setting's value from a page's form, in the form the task takes it;
// null (after saying why) when it cannot be one.
ZyLuaTE* SettingValue(const SettingWord& w, const std::string& value, std::string* why) {
  if (value.empty() || value.size() > kMaxValueBytes) {
    *why = std::string(w.word) + ": a value of 1 to 32 characters";
    return nullptr;
  }
  for (char c : value) {
    if (c < 0x20 || c > 0x7e) {
      *why = std::string(w.word) + ": printable ASCII only";
      return nullptr;
    }
  }
  if (!w.number) return new ZyLuaTEString(value);
  char* end = nullptr;
  const double number = std::strtod(value.c_str(), &end);
  if (*end != '\0' || !(number > 0 && number < 1e7)) {
    *why = std::string(w.word) + " takes a positive number";
    return nullptr;
  }
  return new ZyLuaTENumber(number);
}

// A page's "after" (the number of the frame it has): 0 to 2^32 - 1.
bool FrameNumber(const std::string& text, uint32_t* out) {
  if (text.empty()) {
    *out = 0;
    return true;
  }
  if (text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
  if (n > 0xffffffffULL) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

}  // namespace

LiveServer::LiveServer(Options options, EventHub* hub, PictureIndex* pictures,
                       std::function<void()> onCapture, CameraRequest camera, LiveFrames* frames)
    : mOptions(std::move(options)),
      mHub(hub),
      mPictures(pictures),
      mOnCapture(std::move(onCapture)),
      mCamera(std::move(camera)),
      mFrames(frames),
      mServer(mOptions.limits) {}

LiveServer::~LiveServer() { stop(); }

bool LiveServer::start(std::string* error) {
  const std::string token = AccessGuard::newToken();
  if (token.empty()) {
    *error = "no random token could be drawn from the system";
    return false;
  }
  const std::string& address = mOptions.bindAddress;
  mPort = mServer.bindAndListen(address, mOptions.port);
  if (mPort <= 0) {
    *error = "cannot listen on " + address + " port " + std::to_string(mOptions.port);
    return false;
  }
  mGuard = std::make_unique<AccessGuard>(address, mPort, token);
  addRoutes();
  mThread = std::thread([this] { mServer.serve(); });
  return true;
}

void LiveServer::stop() {
  if (!mThread.joinable()) return;
  mHub->close();  // wakes every event stream, so that its thread can end
  if (mFrames) mFrames->close();
  mServer.stopAll();
  mThread.join();
}

void LiveServer::addRoutes() {
  mServer.set_payload_max_length(mOptions.maxBodyBytes);
  httplib::Headers headers;
  for (const auto& [name, value] : kDefaultHeaders) headers.emplace(name, value);
  mServer.set_default_headers(headers);
  mServer.set_pre_routing_handler([this](const Request& req, Response& res) { return guard(req, res); });
  mServer.set_error_handler([](const Request&, Response& res) {
    if (res.body.empty()) {
      res.set_content(StatusText(res.status), "text/plain; charset=utf-8");
    }
  });
  for (const PageAsset& asset : PageAssets()) {
    const std::string pattern = std::regex_replace(std::string(asset.path), std::regex("\\."), "\\.");
    mServer.Get(pattern, [&asset](const Request&, Response& res) {
      res.set_content(asset.body.data(), asset.body.size(), std::string(asset.contentType).c_str());
      if (asset.path == "/") res.set_header("Content-Security-Policy", kPagePolicy);
    });
  }
  mServer.Get("/events", [this](const Request&, Response& res) { serveEvents(res); });
  mServer.Get("/state", [this](const Request&, Response& res) {
    res.set_content(mHub->snapshot(), "application/json");
  });
  mServer.Get(R"(/files/(-?\d{1,9})/(thumbnail|dng|jpeg))",
              [this](const Request& req, Response& res) { serveFile(req, res); });
  mServer.Post("/capture", [this](const Request& req, Response& res) { serveCapture(req, res); });
  mServer.Post(R"(/rating/(-?\d{1,9})/(-?\d{1,3}))",
               [this](const Request& req, Response& res) { serveRating(req, res); });
  mServer.Get("/camera/choices", [this](const Request&, Response& res) { serveChoices(res); });
  mServer.Post("/camera/settings", [this](const Request& req, Response& res) { serveSettings(req, res); });
  mServer.Post("/live/start", [this](const Request& req, Response& res) { serveLiveSwitch(req, res, true); });
  mServer.Post("/live/stop", [this](const Request& req, Response& res) { serveLiveSwitch(req, res, false); });
  mServer.Get("/live/frame", [this](const Request& req, Response& res) { serveLiveFrame(req, res); });
}

HandlerResponse LiveServer::guard(const Request& req, Response& res) {
  if (!mGuard->hostAllowed(req.get_header_value("Host"))) {
    Refuse(res, 403, "This server answers only at its own address.");
    return HandlerResponse::Handled;
  }
  // The page's own files hold no secret: the page reads the token from its
  // URL's fragment. A saved file is opened by its own grant (serveFile).
  if (req.method == "GET" && (IsAssetPath(req.path) || req.path.rfind("/files/", 0) == 0)) {
    return HandlerResponse::Unhandled;
  }
  if (!mGuard->bearerAccepted(req.get_header_value("Authorization"))) {
    Refuse(res, 403, "Open the link that tether-host serve printed.");
    return HandlerResponse::Handled;
  }
  return HandlerResponse::Unhandled;
}

// The stream starts with the state as it is, then every event as it comes;
// an idle stream gets a comment now and then, so that a vanished client is
// noticed by a failing write.
void LiveServer::serveEvents(Response& res) {
  std::shared_ptr<Subscription> subscription = mHub->subscribe();
  if (!subscription) {
    Refuse(res, 503, "Too many live pages are open.");
    return;
  }
  auto started = std::make_shared<bool>(false);
  const int heartbeatMs = mOptions.heartbeatMs;
  res.set_chunked_content_provider(
      "text/event-stream", [subscription, started, heartbeatMs](size_t, httplib::DataSink& sink) {
        std::string out;
        if (!*started) {
          *started = true;
          out = "retry: 1000\ndata: " + subscription->snapshot() + "\n\n";
        } else {
          std::vector<std::shared_ptr<const std::string>> events;
          if (!subscription->next(&events, heartbeatMs)) return false;
          if (events.empty()) out = ": idle\n\n";
          for (const auto& event : events) out += "data: " + *event + "\n\n";
        }
        return sink.write(out.data(), out.size());
      });
}

void LiveServer::serveFile(const Request& req, Response& res) {
  const std::optional<FileKind> kind = PictureIndex::kindNamed(req.matches[2]);
  const std::optional<std::string> path =
      kind ? mPictures->find(std::stoi(req.matches[1]), *kind, req.get_param_value("grant"))
           : std::nullopt;
  const int fd = path ? open(path->c_str(), O_RDONLY | O_CLOEXEC) : -1;
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    Refuse(res, 404, "No such picture in this session.");
    return;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const ByteRange range = ByteRange::forHeader(req.get_header_value("Range"), size);
  res.set_header("Accept-Ranges", "bytes");
  if (range.answer == ByteRange::Answer::kUnsatisfiable) {
    close(fd);
    res.set_header("Content-Range", range.contentRange(size));
    Refuse(res, 416, "The range asked for is not in the file.");
    return;
  }
  const bool part = range.answer == ByteRange::Answer::kPart;
  const uint64_t start = part ? range.offset : 0;
  if (part) {
    res.status = 206;
    res.set_header("Content-Range", range.contentRange(size));
  }
  if (req.has_param("download")) res.set_header("Content-Disposition", Attachment(*path));
  res.set_content_provider(
      static_cast<size_t>(part ? range.length : size), ContentTypeOf(*kind, *path),
      [fd, start](size_t offset, size_t length, httplib::DataSink& sink) {
        char buf[kFileChunk];
        const ssize_t n = pread(fd, buf, std::min(length, sizeof buf), static_cast<off_t>(start + offset));
        return n > 0 && sink.write(buf, static_cast<size_t>(n));
      },
      [fd](bool) { close(fd); });
}

bool LiveServer::fromPage(const Request& req, Response& res, const char* why) {
  if (mGuard->sameOrigin(req.get_header_value("Origin"), req.get_header_value("Sec-Fetch-Site"),
                         req.get_header_value("Host"))) {
    return true;
  }
  Refuse(res, 403, why);
  return false;
}

void LiveServer::serveCapture(const Request& req, Response& res) {
  if (!fromPage(req, res, "A capture can only be asked for from the page itself.")) return;
  if (mOnCapture) mOnCapture();
  res.status = 202;
  res.set_content("{}", "application/json");
}

void LiveServer::serveRating(const Request& req, Response& res) {
  if (!fromPage(req, res, "A rating can only be given from the page itself.")) return;
  const int id = std::stoi(req.matches[1]);
  const int rating = std::stoi(req.matches[2]);
  if (rating < kRatingRejected || rating > kRatingMax) {
    Refuse(res, 400, "A rating is -1 (rejected), 0 (none) or 1 to 5.");
    return;
  }
  zy::MutexLock lock(&mRatingMutex);
  std::string error;
  switch (mPictures->rate(id, rating, &error)) {
    case PictureIndex::Rated::kUnknown:
      Refuse(res, 404, "No such picture in this session.");
      return;
    case PictureIndex::Rated::kNotKept:
      Refuse(res, 409, "Ratings are kept only for pictures saved in the --out folder.");
      return;
    case PictureIndex::Rated::kFailed:
      Refuse(res, 500, ("The rating was not saved: " + error).c_str());
      return;
    case PictureIndex::Rated::kDone:
      break;
  }
  const LiveEvent event = RatingEvent(id, rating);
  mHub->publish(event);
  res.set_content("{" + event.fields + "}", "application/json");
}

// The request thread waits for the reply, at most cameraReplyMs; a reply
// that comes later finds the answer still alive (shared) and is dropped.
void LiveServer::askCamera(const char* name, std::unique_ptr<ZyLuaTETable> payload,
                           std::function<void(const HostMessage&)> then, Response& res) {
  if (!mCamera || !mFrames) {
    Refuse(res, 503, "This tether-host does not drive the camera.");
    return;
  }
  struct Answer {
    zy::Mutex mutex;
    zy::CondVar done;
    bool came GUARDED_BY(mutex) = false;
    bool replied GUARDED_BY(mutex) = false;
    bool failed GUARDED_BY(mutex) = false;
    std::string json GUARDED_BY(mutex);
  };
  auto answer = std::make_shared<Answer>();
  mCamera(name, std::move(payload), [answer, then](const HostMessage* reply) {
    std::string json;
    bool failed = false;
    if (reply != nullptr) {
      if (then) then(*reply);
      json = JsonElement(reply->payload.get());
      failed = reply->string(tether::proto::kError).has_value();
    }
    zy::MutexLock lock(&answer->mutex);
    answer->came = true;
    answer->replied = reply != nullptr;
    answer->failed = failed;
    answer->json = std::move(json);
    answer->done.signalAll();
  });
  zy::MutexLock lock(&answer->mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(mOptions.cameraReplyMs);
  while (!answer->came) {
    if (!answer->done.waitUntil(&answer->mutex, deadline)) break;
  }
  if (!answer->came) {
    Refuse(res, 504, "The camera's task did not answer in time.");
  } else if (!answer->replied) {
    Refuse(res, 503, "The session is over: the camera's task is gone.");
  } else {
    res.status = answer->failed ? 409 : 200;
    res.set_content(answer->json, "application/json");
  }
}

void LiveServer::serveChoices(Response& res) {
  askCamera(tether::proto::kGetCameraChoices, nullptr, nullptr, res);
}

// A form body ("iso=800&shutter=1%2F250"): each key one of the words of
// `tether-host set`, each value checked here for its form and by the task
// against the camera's choices.
void LiveServer::serveSettings(const Request& req, Response& res) {
  if (!fromPage(req, res, "The camera can only be set from the page itself.")) return;
  auto payload = std::make_unique<ZyLuaTETable>();
  size_t count = 0;
  for (const auto& [key, value] : req.params) {
    const SettingWord* w = FindSettingWord(key);
    std::string why = "'" + key + "' is none of iso, aperture, shutter, wb";
    ZyLuaTE* element = w ? SettingValue(*w, value, &why) : nullptr;
    if (element == nullptr) {
      Refuse(res, 400, why.c_str());
      return;
    }
    payload->Set(w->key, element);
    ++count;
  }
  if (count == 0) {
    Refuse(res, 400, "Give one or more of iso, aperture, shutter, wb.");
    return;
  }
  askCamera(tether::proto::kSetCameraSettings, std::move(payload), nullptr, res);
}

// The reply decides: every page hears "liveView" from the session's thread,
// in order with the frames and "liveViewStopped".
void LiveServer::serveLiveSwitch(const Request& req, Response& res, bool on) {
  if (!fromPage(req, res, "Live view can only be switched from the page itself.")) return;
  LiveFrames* frames = mFrames;
  EventHub* hub = mHub;
  askCamera(on ? tether::proto::kStartLiveView : tether::proto::kStopLiveView, nullptr,
            [frames, hub, on](const HostMessage& reply) {
              const std::optional<double> live = reply.number(tether::proto::kLiveView);
              if (!live) return;  // an error: nothing changed
              frames->setRunning(*live != 0);
              hub->publish(LiveViewEvent(*live != 0, on ? "" : "stopped from a page"));
            },
            res);
}

// Why pull, newest only, rather than a multipart stream or frames on the
// event stream: a pushed stream lets frames pile up in socket buffers
// behind a slow page (older frames first), and on the event stream they
// would crowd out the session's own events. Here a page asks for the next
// frame once it has painted the last: the server sends the newest it has,
// so a slow page gets fewer frames, never older ones, and holds at most
// one in flight. An idle page gets 204 after frameWaitMs and asks again;
// once live view is off, 204 with "X-Live-View: off".
// A frame that comes while the page waits is written to its socket by the
// session's thread the moment it is read from the task (LiveFrames), so
// that it reaches the page without a second thread's wake-up on its way.
void LiveServer::serveLiveFrame(const Request& req, Response& res) {
  uint32_t after = 0;
  if (!FrameNumber(req.get_param_value("after"), &after)) {
    Refuse(res, 400, "after= takes the number of the frame the page has.");
    return;
  }
  if (!mFrames) {
    Refuse(res, 503, "This tether-host does not drive the camera.");
    return;
  }
  const int socket = BoundedHttpServer::currentSocket();
  LiveFrames::Got got = mFrames->newerThan(after, mOptions.frameWaitMs, socket, &FrameHead);
  switch (got.kind) {
    case LiveFrames::Got::Kind::kOff:
      // Not an error: live view ends whenever the camera goes. No content,
      // and a header that tells the page to stop asking.
      res.status = 204;
      res.set_header("X-Live-View", "off");
      return;
    case LiveFrames::Got::Kind::kTimeout:
      res.status = 204;
      return;
    case LiveFrames::Got::Kind::kSent:
      // Whatever happens to the rest, httplib writes nothing more here.
      BoundedHttpServer::markAnswered();
      WriteRest(socket, got.head, *got.frame.jpeg, got.sent, mOptions.limits.ioTimeoutMs);
      res.status = 200;
      return;
    case LiveFrames::Got::Kind::kFrame:
      break;
  }
  res.set_header("X-Frame-Sequence", std::to_string(got.frame.sequence));
  std::shared_ptr<const std::string> jpeg = got.frame.jpeg;
  res.set_content_provider(jpeg->size(), "image/jpeg",
                           [jpeg](size_t offset, size_t length, httplib::DataSink& sink) {
                             return sink.write(jpeg->data() + offset, length);
                           });
}

}  // namespace tether_host
