// A minimal, valid DNG (little-endian TIFF, one uncompressed 16-bit Bayer
// CFA image in IFD0) built in memory from a generated picture.
#ifndef KRV_SIM_DNG_WRITER_H_
#define KRV_SIM_DNG_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "camera/simulator/scene.h"

namespace krv_sim {

struct DngDescription {
  std::string uniqueCameraModel;  // UniqueCameraModel and Model tags
  uint16_t orientation = 1;       // TIFF orientation 1..8; others are written as 1
};

// Returns the DNG bytes for `image` sampled through an RGGB colour filter.
// The image must be at least 2x2; the file is
// 2 * width * height bytes of raw data plus about 1 KiB of tags.
std::vector<uint8_t> WriteDng(const RgbImage& image, const DngDescription& description);

// Picks an even-sided 3:2 raw size whose DNG comes to about `bytes`.
void DngSizeForBytes(uint64_t bytes, int* width, int* height);

}  // namespace krv_sim

#endif  // KRV_SIM_DNG_WRITER_H_
