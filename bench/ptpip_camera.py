"""The simulated PTP/IP camera for the bridge's benchmarks: krv-sim-ptpip on
free loopback ports with its control socket, driven through krv-sim-ctl."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "clients", "python"))

WAIT = 60.0


class Camera:
    """Starts the camera and applies `settings` (krv-sim-ctl commands)."""

    def __init__(self, build, scratch, settings=()):
        self.ctl_path = os.path.join(build, "bin", "krv-sim-ctl")
        self.socket = os.path.join(scratch, "cam.sock")
        self.process = subprocess.Popen([os.path.join(build, "bin", "krv-sim-ptpip"), "--port", "0",
                                         "--event-port", "0", "--control", self.socket],
                                        stdout=subprocess.PIPE, text=True)
        words = self.process.stdout.readline().split()
        if len(words) != 4:
            self.close()
            raise RuntimeError("krv-sim-ptpip did not start")
        self.word = "ptpip:%s:%s:%s" % tuple(words[1:4])
        for command in settings:
            self.ctl(command)

    def ctl(self, command):
        """Runs one control command; its reply, which must start with "ok"."""
        out = subprocess.run([self.ctl_path, "--socket", self.socket] + command.split(),
                             capture_output=True, text=True, timeout=WAIT).stdout
        if not out.startswith("ok"):
            raise RuntimeError(command + ": " + out)
        return out

    def close(self):
        self.process.terminate()
        self.process.wait(WAIT)
        self.process.stdout.close()


def cpu_seconds(pid):
    """CPU time (user + system) of process `pid`'s live threads, in seconds: the
    scheduler's nanosecond sum (/proc/<pid>/task/*/schedstat), since utime and
    stime count whole clock ticks, too coarse for an idle process."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return total / 1e9
