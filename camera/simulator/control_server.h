// The simulator's control socket: a Unix domain stream socket that accepts
// any number of clients and answers each text line with one reply line.
#ifndef KRV_SIM_CONTROL_SERVER_H_
#define KRV_SIM_CONTROL_SERVER_H_

#include <functional>
#include <string>
#include <thread>

namespace krv_sim {

class ControlServer {
 public:
  // Turns one command line (without its newline) into one reply line
  // (without newline). Called on the server's thread, one line at a time.
  using Handler = std::function<std::string(const std::string& line)>;

  ControlServer(std::string path, Handler handler);
  ~ControlServer();  // stop()
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds (replacing a stale socket file at the path) and starts serving.
  bool start(std::string* error);
  // Closes every connection, joins the thread and removes the socket file.
  // Idempotent. Must not be called from the handler.
  void stop();

 private:
  void serve();

  const std::string mPath;
  const Handler mHandler;
  int mListenFd = -1;
  int mWakeFd = -1;  // eventfd; written by stop() to end poll()
  std::thread mThread;
};

}  // namespace krv_sim

#endif  // KRV_SIM_CONTROL_SERVER_H_
