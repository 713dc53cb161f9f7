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
// *out is then unspecified. With a non-empty `exif` (an APP1 payload,
// "Exif\0\0" and a TIFF structure) the file is an EXIF JPEG instead of JFIF.
bool EncodeJpeg(const RgbImage& image, int quality, const std::string& comment,
                std::vector<uint8_t>* out, std::string* error,
                const std::vector<uint8_t>& exif = {});

// The APP1 payload of an EXIF block holding only the orientation tag (1..8).
std::vector<uint8_t> ExifOrientation(int orientation);

}  // namespace krv_sim

#endif  // KRV_SIM_JPEG_ENCODER_H_
