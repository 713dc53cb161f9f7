#include "camera/gphoto2/descriptor_zero.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace krv_gphoto {

void OccupyDescriptorZero(int copyOf) {
  if (fcntl(STDIN_FILENO, F_GETFD) != -1 || errno != EBADF) return;
  // Both take the lowest free descriptor, atomically; anything above 0
  // means another thread took 0 meanwhile, which keeps it just as occupied.
  const int fd = copyOf >= 0 ? fcntl(copyOf, F_DUPFD, 0) : ::open("/dev/null", O_RDONLY);
  if (fd > STDIN_FILENO) ::close(fd);
}

}  // namespace krv_gphoto
