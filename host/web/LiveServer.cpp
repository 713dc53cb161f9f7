#include "host/web/LiveServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "host/saving/RatingSidecar.h"
#include "host/web/ByteRange.h"
#include "host/web/LiveObserver.h"
#include "host/web/PageAssets.h"

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

}  // namespace

LiveServer::LiveServer(Options options, EventHub* hub, PictureIndex* pictures,
                       std::function<void()> onCapture)
    : mOptions(std::move(options)),
      mHub(hub),
      mPictures(pictures),
      mOnCapture(std::move(onCapture)),
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
  mServer.stopAll();
  mThread.join();
}

void LiveServer::addRoutes() {
  mServer.set_payload_max_length(mOptions.maxBodyBytes);
  mServer.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"},
                               {"X-Frame-Options", "DENY"},
                               {"Cache-Control", "no-store"}});
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

}  // namespace tether_host
