// tether-cameras: prints the cameras libgphoto2 detects, one a line, as
// "MODEL<TAB>PORT" ("Nikon DSC D750\tusb:001,004"), or nothing when there
// is none. tether-host runs it for `tether-host cameras`, so that
// tether-host itself never links libgphoto2. Cameras on Wi-Fi (PTP/IP) are
// never detected; they are named by address.
//
// A model name comes from the camera: control bytes become '?' and each
// field is cut to 200 bytes, so a line is always one line.
#include <gphoto2/gphoto2.h>

#include <cstdio>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

std::string Clean(const char* text) {
  std::string out(text != nullptr ? text : "");
  if (out.size() > 200) out.resize(200);
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

}  // namespace

int main() {
  GPContext* context = gp_context_new();
  CameraList* list = nullptr;
  if (context == nullptr || gp_list_new(&list) < GP_OK) {
    std::fprintf(stderr, "tether-cameras: libgphoto2 could not start\n");
    return 1;
  }
#if defined(__SANITIZE_ADDRESS__)
  // libgphoto2's USB port driver keeps what it allocates while probing the
  // buses and unloads itself before exit: not a leak of ours to report.
  __lsan_disable();
#endif
  const int found = gp_camera_autodetect(list, context);
#if defined(__SANITIZE_ADDRESS__)
  __lsan_enable();
#endif
  if (found < GP_OK) {
    std::fprintf(stderr, "tether-cameras: detection failed: %s\n", gp_result_as_string(found));
  }
  for (int i = 0; i < found && i < 100; ++i) {
    const char* model = nullptr;
    const char* port = nullptr;
    gp_list_get_name(list, i, &model);
    gp_list_get_value(list, i, &port);
    std::printf("%s\t%s\n", Clean(model).c_str(), Clean(port).c_str());
  }
  gp_list_free(list);
  gp_context_unref(context);
  return found < GP_OK ? 1 : 0;
}
