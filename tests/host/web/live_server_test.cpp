// The live page's server in-process over real loopback HTTP, driven by a
// fake session (events published straight to the observer): a page that
// stops reading must cost the session nothing and the other pages nothing.
#include "host/web/LiveServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/web/LiveObserver.h"
#include "tests/host/web/http_probe.h"

namespace tether_host {
namespace {

using tether_web_test::EventStream;
using tether_web_test::PageUrl;
using tether_web_test::SeqOf;

TEST(LiveServerTest, StalledPageLosesOldestUpdatesWhileSessionAndOtherPagesGoOn) {
  EventHub hub(16, 8);
  PictureIndex pictures;
  LiveObserver observer(&hub, &pictures);
  LiveServer::Options options;
  options.limits.ioTimeoutMs = 300;  // a write blocked this long ends the page's stream
  LiveServer server(options, &hub, &pictures, nullptr);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  PageUrl url;
  ASSERT_TRUE(url.parse(server.pageUrl())) << server.pageUrl();

  EventStream stalled(url.port, url.authorization(), 4096);  // connects, then never reads
  EventStream live(url.port, url.authorization());
  ASSERT_EQ(stalled.status(), 200);
  ASSERT_EQ(live.status(), 200);
  ASSERT_TRUE(live.next().has_value());  // the snapshot

  // 12 MB of settings events: far more than the stalled page's socket
  // buffers hold. Each is published as soon as the live page has the one
  // before, so the live page never falls behind; if publishing waited for
  // the stalled page, this loop would never end.
  const std::string wide(4096, 'x');
  constexpr int kEvents = 3000;
  for (int i = 1; i <= kEvents; ++i) {
    observer.settingsChanged({std::to_string(i), wide, "1/125", "Daylight"});
    const std::optional<std::string> event = live.next();
    ASSERT_TRUE(event.has_value()) << "event " << i;
    ASSERT_EQ(SeqOf(*event), i) << "the live page missed an update";
  }

  // Its write blocked beyond the limit, the server ends the stalled page's
  // stream and releases its queue.
  for (int i = 0; i < 400 && hub.clientCount() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(hub.clientCount(), 1u) << "the stalled page's queue was not released";

  // The stalled page now reads: what it got is in order but not everything.
  long last = 0;
  int received = 0;
  bool gap = false;
  for (std::optional<std::string> e = stalled.next(); e; e = stalled.next(2000)) {
    const long seq = SeqOf(*e);
    if (received > 0) {
      ASSERT_GT(seq, last);
      gap |= seq != last + 1;
    }
    last = seq;
    ++received;
  }
  EXPECT_TRUE(gap || last < kEvents) << "received " << received << " events up to " << last;
  server.stop();
}

// A real camera names itself (hostile text) and sends its own raw format:
// the page gets the name as escaped JSON (it shows it as text) and the NEF
// as the capture's raw file under its own name.
TEST(LiveServerTest, ARealCamerasNameAndRawFileReachThePageSafely) {
  EventHub hub(16, 8);
  PictureIndex pictures;
  LiveObserver observer(&hub, &pictures);
  observer.cameraChanged("Evil\033[2J\"</script>\n");
  FileSaved nef;
  nef.captureId = 7;
  nef.number = 1;
  nef.kind = FileKind::kRaw;
  nef.path = "/out/DSC_0042.nef";
  nef.size = 10;
  observer.fileSaved(nef);
  const std::string snapshot = hub.snapshot();
  EXPECT_NE(snapshot.find(R"("model":"Evil\u001b[2J\")"), std::string::npos) << snapshot;
  EXPECT_EQ(snapshot.find_first_of(std::string("\033\n", 2)), std::string::npos) << snapshot;
  EXPECT_NE(snapshot.find(R"("kind":"dng","size":10,"name":"DSC_0042.nef")"), std::string::npos) << snapshot;
  EXPECT_EQ(pictures.find(7, FileKind::kRaw, "").value_or("denied"), "denied");  // a grant is needed
}

}  // namespace
}  // namespace tether_host
