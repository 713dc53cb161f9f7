// Client side of the simulator's control socket, for tests and host tools.
// Not part of the SDK: it links into whoever drives the simulator.
#ifndef KRV_SIM_CONTROL_CLIENT_H_
#define KRV_SIM_CONTROL_CLIENT_H_

#include <string>

namespace krv_sim {

class ControlClient {
 public:
  ControlClient() = default;
  ~ControlClient();  // closes the connection
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // Connects to the socket at `path` (KRV_SIM_CONTROL of the simulator's
  // process). False with *error on failure; a second call reconnects.
  bool connect(const std::string& path, std::string* error);
  bool connected() const { return mFd >= 0; }

  // Sends one command line and returns the reply line without its newline.
  // I/O failures come back as "error io: ..." and close the connection.
  std::string command(const std::string& line);

  // True when `reply` is a success ("ok" or "ok ...").
  static bool isOk(const std::string& reply);

 private:
  void close();

  int mFd = -1;
  std::string mPending;  // bytes read past the last reply line
};

}  // namespace krv_sim

#endif  // KRV_SIM_CONTROL_CLIENT_H_
