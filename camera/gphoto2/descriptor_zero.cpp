#include "camera/gphoto2/descriptor_zero.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace krv_gphoto {

void OccupyDescriptorZero() {
  if (fcntl(STDIN_FILENO, F_GETFD) != -1 || errno != EBADF) return;
  // open takes the lowest free descriptor, atomically; anything above 0
  // means another thread took 0 meanwhile, which keeps it just as occupied.
  const int fd = ::open("/dev/null", O_RDONLY);
  if (fd > STDIN_FILENO) ::close(fd);
}

}  // namespace krv_gphoto
