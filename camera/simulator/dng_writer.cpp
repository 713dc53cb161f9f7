#include "camera/simulator/dng_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "camera/simulator/sim_config.h"

namespace krv_sim {
namespace {

enum TiffType : uint16_t {
  kByte = 1,
  kAscii = 2,
  kShort = 3,
  kLong = 4,
  kRational = 5,
  kSRational = 10
};

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  std::vector<uint8_t> value;  // little-endian bytes, count * size of type
};

void Put16(std::vector<uint8_t>* v, uint16_t x) {
  v->push_back(static_cast<uint8_t>(x));
  v->push_back(static_cast<uint8_t>(x >> 8));
}

void Put32(std::vector<uint8_t>* v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v->push_back(static_cast<uint8_t>(x >> (8 * i)));
}

Entry Shorts(uint16_t tag, std::initializer_list<uint16_t> values) {
  Entry e{tag, kShort, static_cast<uint32_t>(values.size()), {}};
  for (uint16_t v : values) Put16(&e.value, v);
  return e;
}

Entry Longs(uint16_t tag, const std::vector<uint32_t>& values) {
  Entry e{tag, kLong, static_cast<uint32_t>(values.size()), {}};
  for (uint32_t v : values) Put32(&e.value, v);
  return e;
}

Entry Bytes(uint16_t tag, std::initializer_list<uint8_t> values) {
  return Entry{tag, kByte, static_cast<uint32_t>(values.size()), std::vector<uint8_t>(values)};
}

Entry Ascii(uint16_t tag, const std::string& text) {
  Entry e{tag, kAscii, static_cast<uint32_t>(text.size() + 1), {}};
  e.value.assign(text.begin(), text.end());
  e.value.push_back(0);
  return e;
}

Entry Rationals(uint16_t tag, uint16_t type, const std::vector<std::pair<int32_t, int32_t>>& values) {
  Entry e{tag, type, static_cast<uint32_t>(values.size()), {}};
  for (const auto& r : values) {
    Put32(&e.value, static_cast<uint32_t>(r.first));
    Put32(&e.value, static_cast<uint32_t>(r.second));
  }
  return e;
}

// Strips of about 256 KiB, as a camera's writer would use. Offsets are
// filled in once the layout before them is known.
struct Strips {
  uint32_t rowBytes;
  uint32_t rowsPerStrip;
  std::vector<uint32_t> offsets;
  std::vector<uint32_t> byteCounts;
};

constexpr uint16_t kStripOffsetsTag = 273;
constexpr uint32_t kIfdOffset = 8;

Strips PlanStrips(uint32_t width, uint32_t height) {
  Strips s;
  s.rowBytes = width * 2;
  s.rowsPerStrip = std::max<uint32_t>(1, (256u << 10) / s.rowBytes);
  const uint32_t count = (height + s.rowsPerStrip - 1) / s.rowsPerStrip;
  s.offsets.assign(count, 0);
  for (uint32_t i = 0; i < count; ++i) {
    s.byteCounts.push_back(std::min(s.rowsPerStrip, height - i * s.rowsPerStrip) * s.rowBytes);
  }
  return s;
}

// IFD0's entries, in ascending tag order as TIFF requires.
std::vector<Entry> DngTags(uint32_t width, uint32_t height, const DngDescription& description,
                           const Strips& strips) {
  const uint16_t orientation =
      (description.orientation >= 1 && description.orientation <= 8) ? description.orientation : 1;
  return {
      Longs(254, {0}),                      // NewSubFileType: main image
      Longs(256, {width}),                  // ImageWidth
      Longs(257, {height}),                 // ImageLength
      Shorts(258, {16}),                    // BitsPerSample
      Shorts(259, {1}),                     // Compression: none
      Shorts(262, {32803}),                 // PhotometricInterpretation: CFA
      Ascii(271, "KRV"),                    // Make
      Ascii(272, description.uniqueCameraModel),  // Model
      Longs(kStripOffsetsTag, strips.offsets),    // StripOffsets
      Shorts(274, {orientation}),           // Orientation
      Shorts(277, {1}),                     // SamplesPerPixel
      Longs(278, {strips.rowsPerStrip}),    // RowsPerStrip
      Longs(279, strips.byteCounts),        // StripByteCounts
      Shorts(284, {1}),                     // PlanarConfiguration: chunky
      Ascii(305, "KRV SDK simulator"),      // Software
      Shorts(33421, {2, 2}),                // CFARepeatPatternDim
      Bytes(33422, {0, 1, 1, 2}),           // CFAPattern: RGGB
      Bytes(50706, {1, 4, 0, 0}),           // DNGVersion
      Bytes(50707, {1, 1, 0, 0}),           // DNGBackwardVersion
      Ascii(50708, description.uniqueCameraModel),  // UniqueCameraModel
      Bytes(50710, {0, 1, 2}),              // CFAPlaneColor
      Shorts(50711, {1}),                   // CFALayout: rectangular
      Longs(50717, {65535}),                // WhiteLevel
      // ColorMatrix1 (XYZ to camera): the sRGB matrix, since the samples are sRGB values.
      Rationals(50721, kSRational,
                {{32406, 10000}, {-15372, 10000}, {-4986, 10000},
                 {-9689, 10000}, {18758, 10000}, {415, 10000},
                 {557, 10000}, {-2040, 10000}, {10570, 10000}}),
      Rationals(50728, kRational, {{1, 1}, {1, 1}, {1, 1}}),  // AsShotNeutral
      Shorts(50778, {21}),                  // CalibrationIlluminant1: D65
  };
}

uint32_t IfdSize(const std::vector<Entry>& entries) {
  return 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
}

// The values too large for their entries follow IFD0, each on a word boundary.
uint32_t OutOfLineSize(const std::vector<Entry>& entries) {
  uint32_t size = 0;
  for (const Entry& e : entries) {
    if (e.value.size() > 4) size += (static_cast<uint32_t>(e.value.size()) + 1) & ~1u;
  }
  return size;
}

// Header, IFD0 and its out-of-line values.
void WriteTiffHead(const std::vector<Entry>& entries, std::vector<uint8_t>* out) {
  Put16(out, 0x4949);  // "II": little-endian
  Put16(out, 42);
  Put32(out, kIfdOffset);
  Put16(out, static_cast<uint16_t>(entries.size()));
  const uint32_t extraAt = kIfdOffset + IfdSize(entries);
  std::vector<uint8_t> extra;
  for (const Entry& e : entries) {
    Put16(out, e.tag);
    Put16(out, e.type);
    Put32(out, e.count);
    if (e.value.size() <= 4) {
      std::vector<uint8_t> inlineValue = e.value;
      inlineValue.resize(4, 0);
      out->insert(out->end(), inlineValue.begin(), inlineValue.end());
    } else {
      Put32(out, extraAt + static_cast<uint32_t>(extra.size()));
      extra.insert(extra.end(), e.value.begin(), e.value.end());
      if (extra.size() & 1) extra.push_back(0);  // values start on word boundaries
    }
  }
  Put32(out, 0);  // no further IFD
  out->insert(out->end(), extra.begin(), extra.end());
}

// Raw samples through the RGGB filter, scaled from 8 to 16 bits, at `dst`.
void WriteCfaSamples(const RgbImage& image, uint8_t* dst) {
  const auto width = static_cast<uint32_t>(image.width);
  const auto height = static_cast<uint32_t>(image.height);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* src = image.pixels.data() + static_cast<size_t>(y) * width * 3;
    // Channel at even and odd columns: R G on even rows, G B on odd rows.
    const int c0 = (y & 1) ? 1 : 0;
    const int c1 = (y & 1) ? 2 : 1;
    for (uint32_t x = 0; x < width; ++x, src += 3, dst += 2) {
      const uint16_t v = static_cast<uint16_t>(src[(x & 1) ? c1 : c0] * 257);
      dst[0] = static_cast<uint8_t>(v);
      dst[1] = static_cast<uint8_t>(v >> 8);
    }
  }
}

}  // namespace

void DngSizeForBytes(uint64_t bytes, int* width, int* height) {
  const double pixels = static_cast<double>(bytes) / 2.0;
  int w = static_cast<int>(std::sqrt(pixels * 3.0 / 2.0)) & ~1;
  w = std::clamp(w, 16, kMaxImageSide);
  int h = static_cast<int>(pixels / w) & ~1;
  *width = w;
  *height = std::clamp(h, 16, kMaxImageSide);
}

std::vector<uint8_t> WriteDng(const RgbImage& image, const DngDescription& description) {
  const auto width = static_cast<uint32_t>(image.width);
  const auto height = static_cast<uint32_t>(image.height);
  Strips strips = PlanStrips(width, height);
  std::vector<Entry> entries = DngTags(width, height, description, strips);

  // Layout: header, IFD0, out-of-line values, strips.
  const uint32_t dataOffset = kIfdOffset + IfdSize(entries) + OutOfLineSize(entries);
  for (size_t i = 0; i < strips.offsets.size(); ++i) {
    strips.offsets[i] = dataOffset + static_cast<uint32_t>(i) * strips.rowsPerStrip * strips.rowBytes;
  }
  for (Entry& e : entries) {
    if (e.tag == kStripOffsetsTag) e = Longs(kStripOffsetsTag, strips.offsets);
  }

  const size_t fileSize = dataOffset + static_cast<size_t>(strips.rowBytes) * height;
  std::vector<uint8_t> out;
  out.reserve(fileSize);
  WriteTiffHead(entries, &out);
  out.resize(fileSize);
  WriteCfaSamples(image, out.data() + dataOffset);
  return out;
}

}  // namespace krv_sim
