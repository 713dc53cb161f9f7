// The picture a simulated capture shows: a colour gradient that shifts with
// the capture number, a disc that moves across the frame from one capture to
// the next, and the capture number in large digits. Every capture therefore
// gives visibly (and byte-wise) different thumbnail, JPEG and DNG images.
#ifndef KRV_SIM_SCENE_H_
#define KRV_SIM_SCENE_H_

#include <cstdint>
#include <vector>

namespace krv_sim {

// 8-bit RGB, rows top to bottom, 3 bytes per pixel, no padding.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

// Renders the scene of capture `captureNumber` at the given size (both >= 1).
// The layout is proportional, so a thumbnail shows the same picture as the
// full-size image.
RgbImage RenderScene(int width, int height, unsigned captureNumber);

}  // namespace krv_sim

#endif  // KRV_SIM_SCENE_H_
