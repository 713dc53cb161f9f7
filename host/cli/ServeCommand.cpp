#include "host/cli/ServeCommand.h"

#include <cstdio>
#include <memory>

#include "host/cli/CommandSupport.h"
#include "host/web/EarlierPictures.h"
#include "host/web/LiveObserver.h"

namespace tether_host {
namespace {

constexpr size_t kQueuePerPage = 256;  // events a page may fall behind by
constexpr size_t kMaxPages = 32;       // live pages open at once
constexpr size_t kFrameWaiters = 8;    // pages waiting for the next live frame at once

// The live page as a companion of the session: it observes the session,
// asks it for captures, and is served from before the session runs until
// it has ended.
class LivePage : public SessionCompanion {
 public:
  LivePage(LiveServer::Options options, const std::string& outDir)
      : mHub(kQueuePerPage, kMaxPages),
        mPictures(outDir),
        mFrames(kFrameWaiters),
        mObserver(&mHub, &mPictures, &mFrames),
        mOptions(std::move(options)),
        mOutDir(outDir) {}

  bool start(TetherSession* session) override {
    PublishEarlierPictures(mOutDir, &mObserver, &mHub);
    session->addObserver(&mObserver);
    mServer = std::make_unique<LiveServer>(
        mOptions, &mHub, &mPictures, [session] { session->requestCapture(); },
        [session](std::string name, std::unique_ptr<ZyLuaTETable> payload,
                  LiveServer::ReplyHandler onReply) {
          session->request(std::move(name), std::move(payload), std::move(onReply));
        },
        &mFrames);
    std::string error;
    if (!mServer->start(&error)) {
      Say(error);
      return false;
    }
    std::printf("%s\n", mServer->pageUrl().c_str());
    std::fflush(stdout);
    return true;
  }
  void stop() override { mServer->stop(); }

 private:
  EventHub mHub;
  PictureIndex mPictures;
  LiveFrames mFrames;
  LiveObserver mObserver;
  LiveServer::Options mOptions;
  std::string mOutDir;
  std::unique_ptr<LiveServer> mServer;  // after the hub, index and frames, which it borrows
};

}  // namespace

int runServe(const ServeArgs& args) {
  LivePage page(args.server, args.tether.options.outDir);
  return runTether(args.tether, &page);
}

}  // namespace tether_host
