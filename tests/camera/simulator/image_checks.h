// Decoders used to prove the simulator's files are real images: libjpeg for
// thumbnails and JPEGs, libtiff (and the tiffinfo tool) for DNGs.
#ifndef TESTS_SIMULATOR_IMAGE_CHECKS_H_
#define TESTS_SIMULATOR_IMAGE_CHECKS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace krv_test {

struct DecodedJpeg {
  bool ok = false;
  std::string error;
  int width = 0, height = 0, components = 0;
  std::vector<uint8_t> pixels;
};

// Fully decodes `bytes`; ok is false on any libjpeg error.
DecodedJpeg DecodeJpeg(const std::vector<uint8_t>& bytes);

struct DngFacts {
  bool ok = false;
  std::string error;
  uint32_t width = 0, height = 0;
  uint16_t bitsPerSample = 0, samplesPerPixel = 0, photometric = 0, compression = 0;
  uint16_t orientation = 0;
  uint32_t subfileType = 0xFFFFFFFF;
  std::vector<uint8_t> dngVersion;
  std::string uniqueCameraModel;
  uint64_t rawBytesRead = 0;  // all strips, decoded by libtiff
};

// Writes `bytes` to a temporary file and reads it back with libtiff.
DngFacts ReadDng(const std::vector<uint8_t>& bytes);

// Runs `tiffinfo -D` on the bytes. Returns its exit status and its output
// (stdout and stderr together) in *output; -1 if tiffinfo is not installed.
int RunTiffinfo(const std::vector<uint8_t>& bytes, std::string* output);

}  // namespace krv_test

#endif  // TESTS_SIMULATOR_IMAGE_CHECKS_H_
