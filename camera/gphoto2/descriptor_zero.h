// Keeping descriptor 0 occupied. libgphoto2 closes 0 in some of its error
// paths (a PTP/IP camera's unused socket is left at 0); a free 0 would then
// be handed to the next socket or file anyone opens, and closed under it by
// the library's next close of a camera.
#ifndef KRV_GPHOTO_DESCRIPTOR_ZERO_H_
#define KRV_GPHOTO_DESCRIPTOR_ZERO_H_

namespace krv_gphoto {

// Puts a copy of `copyOf` (/dev/null when negative) on descriptor 0 if 0 is
// closed; never replaces what is there. Any thread; one system call when 0
// is open, so cheap every turn.
void OccupyDescriptorZero(int copyOf = -1);

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_DESCRIPTOR_ZERO_H_
