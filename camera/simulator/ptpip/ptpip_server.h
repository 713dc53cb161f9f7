// The simulated camera's PTP/IP face: TCP listeners on loopback (or any IPv4
// address), the Init Command / Init Event handshake, and one host at a time
// driving a PtpipCamera with operations. Events the camera queues go out on
// the event connection.
//
// Thread: one serving thread owns every socket; wake() may be called from
// any thread. A peer's malformed packet, a wrong transaction id or a data
// phase beyond its bound closes that host's connections.
#ifndef KRV_SIM_PTPIP_PTPIP_SERVER_H_
#define KRV_SIM_PTPIP_PTPIP_SERVER_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace krv_sim {

class PtpipCamera;

struct PtpipServerOptions {
  std::string address = "127.0.0.1";  // IPv4 literal
  int commandPort = 15740;             // 0: any free port
  // -1: events are accepted on the command port's listener (a host sends
  // its Init Event Request there); otherwise a second listener (0: any).
  int eventPort = -1;
};

class PtpipServer {
 public:
  // `camera` must outlive the server.
  PtpipServer(PtpipCamera* camera, PtpipServerOptions options);
  ~PtpipServer();  // stop()
  PtpipServer(const PtpipServer&) = delete;
  PtpipServer& operator=(const PtpipServer&) = delete;

  // Binds and starts serving. False with *error.
  bool start(std::string* error);
  // Closes everything and joins the thread. Idempotent.
  void stop();
  // Makes the serving thread look at the camera (events, unplug).
  void wake();

  int commandPort() const { return mCommandPort; }
  int eventPort() const { return mEventPort; }

 private:
  void serve();

  PtpipCamera* const mCamera;
  const PtpipServerOptions mOptions;
  int mCommandFd = -1, mEventFd = -1;  // listeners; mEventFd -1 when shared
  int mCommandPort = 0, mEventPort = 0;
  int mWakeFd = -1;  // eventfd
  std::atomic<bool> mStopping{false};  // set before the wake that ends serve()
  std::thread mThread;
};

}  // namespace krv_sim

#endif  // KRV_SIM_PTPIP_PTPIP_SERVER_H_
