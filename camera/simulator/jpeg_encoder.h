// In-memory JPEG encoding of generated pictures (libjpeg).
#ifndef KRV_SIM_JPEG_ENCODER_H_
#define KRV_SIM_JPEG_ENCODER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "camera/simulator/scene.h"

namespace krv_sim {

// Encodes `image` as a baseline JFIF JPEG with a COM marker holding
// `comment`. Returns false (with *error set) if libjpeg reports a failure;
// *out is then unspecified.
bool EncodeJpeg(const RgbImage& image, int quality, const std::string& comment,
                std::vector<uint8_t>* out, std::string* error);

}  // namespace krv_sim

#endif  // KRV_SIM_JPEG_ENCODER_H_
