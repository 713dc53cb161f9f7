// What the bridge learns from a captured JPEG's own bytes: its EXIF
// orientation (libexif), and a thumbnail made from it when the camera offers
// none (libjpeg, decoded at a reduced scale and encoded again). Pure; any
// thread.
#ifndef KRV_GPHOTO_JPEG_FACTS_H_
#define KRV_GPHOTO_JPEG_FACTS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krv_gphoto {

// The EXIF orientation (1 to 8) of the JPEG at `data`, or 1 when it has no
// EXIF, no orientation tag, or one out of range.
int32_t JpegOrientation(const unsigned char* data, size_t size);

// A JPEG at most `maxSide` pixels on its longer side (the nearest scale of
// 1/2, 1/4 or 1/8 at or under it, at least 1/8), made from the JPEG at
// `data`. False, leaving `thumbnail` empty, when the data is not a JPEG that
// libjpeg decodes.
bool MakeThumbnail(const unsigned char* data, size_t size, unsigned maxSide,
                   std::vector<unsigned char>* thumbnail);

// A uniformly grey JPEG of `width` x `height` pixels (both at least 1).
bool GreyJpeg(unsigned width, unsigned height, std::vector<unsigned char>* jpeg);

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_JPEG_FACTS_H_
