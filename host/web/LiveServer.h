// The live page's HTTP server: the page itself, its live updates as
// Server-Sent Events (GET /events), the state as JSON (GET /state), the
// session's saved files by capture id and kind (GET /files/<id>/<kind>,
// each with its own grant), the shutter (POST /capture) and a picture's
// rating (POST /rating/<id>/<-1..5>, kept beside the picture and published
// to every page as a "rating" event), and the camera driven from the page:
// its choices (GET /camera/choices), a change of its settings (POST
// /camera/settings, a form body of iso, aperture, shutter, wb), live view
// on and off (POST /live/start, /live/stop, told to every page as a
// "liveView" event) and the newest live frame (GET /live/frame?after=N;
// 204 when none came in time, with "X-Live-View: off" once it is off).
// Every request passes the AccessGuard; anything else is 404.
//
// Lifetime: the hub and the index are borrowed and must outlive the server;
// stop() (or the destructor) returns once no request is running. Thread:
// start() and stop() from one thread; `onCapture` and `camera` are called
// on a request thread and must not block; `camera`'s reply handler may run
// on any thread.
#ifndef TETHER_HOST_WEB_LIVE_SERVER_H_
#define TETHER_HOST_WEB_LIVE_SERVER_H_

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "host/web/AccessGuard.h"
#include "host/web/BoundedHttpServer.h"
#include "host/client/HostMessage.h"
#include "host/web/EventHub.h"
#include "host/web/LiveFrames.h"
#include "host/web/PictureIndex.h"
#include "platform/Mutex.h"

namespace tether_host {

class LiveServer {
 public:
  struct Options {
    std::string bindAddress = "127.0.0.1";
    int port = 0;  // 0: any free port
    HttpLimits limits;
    size_t maxBodyBytes = 1024;   // no request needs a body
    int heartbeatMs = 15000;      // a comment on an idle event stream, to find dead clients
    int cameraReplyMs = 5000;     // the task itself waits 2 s for a camera's confirmation
    int frameWaitMs = 2000;       // a page asking for the next live frame waits this long
  };

  // Sends a command to the camera's task and hands over its "ok" (null:
  // no reply will come).
  using ReplyHandler = std::function<void(const HostMessage* reply)>;
  using CameraRequest = std::function<void(std::string name, std::unique_ptr<ZyLuaTETable> payload,
                                           ReplyHandler onReply)>;

  // Without `camera` and `frames` (borrowed, outliving the server) the
  // camera's routes answer 503.
  LiveServer(Options options, EventHub* hub, PictureIndex* pictures,
             std::function<void()> onCapture, CameraRequest camera = nullptr,
             LiveFrames* frames = nullptr);
  ~LiveServer();

  // Binds and starts serving; false with *error when the address cannot be
  // bound or no token can be drawn.
  bool start(std::string* error);
  void stop();

  int port() const { return mPort; }
  // The page's URL, its token in the fragment; valid after start().
  std::string pageUrl() const { return mGuard ? mGuard->pageUrl() : ""; }

 private:
  using Request = httplib::Request;
  using Response = httplib::Response;
  void addRoutes();
  httplib::Server::HandlerResponse guard(const Request& req, Response& res);
  void serveEvents(Response& res);
  void serveFile(const Request& req, Response& res);
  void serveCapture(const Request& req, Response& res);
  void serveRating(const Request& req, Response& res);
  void serveChoices(Response& res);
  void serveSettings(const Request& req, Response& res);
  void serveLiveSwitch(const Request& req, Response& res, bool on);
  void serveLiveFrame(const Request& req, Response& res);
  // Sends the command and answers with its reply as JSON (409 when it
  // carries "error"); `then` sees the reply first, on the session's thread.
  void askCamera(const char* name, std::unique_ptr<ZyLuaTETable> payload,
                 std::function<void(const HostMessage&)> then, Response& res);
  // A write only from the page itself; else refused with `why`.
  bool fromPage(const Request& req, Response& res, const char* why);

  Options mOptions;
  EventHub* mHub;
  PictureIndex* mPictures;
  std::function<void()> mOnCapture;
  CameraRequest mCamera;
  LiveFrames* mFrames;
  BoundedHttpServer mServer;
  std::unique_ptr<AccessGuard> mGuard;
  std::thread mThread;
  zy::Mutex mRatingMutex;  // a sidecar and its event, one rating at a time
  int mPort = 0;
};

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_LIVE_SERVER_H_
