#include "camera/simulator/jpeg_encoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace krv_sim {
namespace {

// libjpeg's default error handler calls exit(); a library must not end its
// host process, so errors jump back to EncodeJpeg instead.
struct ErrorManager {
  jpeg_error_mgr base;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr cinfo) {
  auto* mgr = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, mgr->message);
  longjmp(mgr->jump, 1);
}

void OnMessage(j_common_ptr, int) {}  // warnings: nothing to report to anyone

}  // namespace

bool EncodeJpeg(const RgbImage& image, int quality, const std::string& comment,
                std::vector<uint8_t>* out, std::string* error, const std::vector<uint8_t>& exif) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  // Owned by libjpeg's memory destination; freed below on every path.
  unsigned char* buffer = nullptr;
  unsigned long size = 0;

  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = OnError;
  err.base.emit_message = OnMessage;
  if (setjmp(err.jump)) {
    *error = err.message;
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(image.width);
  cinfo.image_height = static_cast<JDIMENSION>(image.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  if (!exif.empty()) cinfo.write_JFIF_header = FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  if (!exif.empty()) {
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif.data(), static_cast<unsigned int>(exif.size()));
  }
  jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()),
                    static_cast<unsigned int>(comment.size()));
  const size_t stride = static_cast<size_t>(image.width) * 3;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.pixels.data() + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  out->assign(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return true;
}

std::vector<uint8_t> ExifOrientation(int orientation) {
  // "Exif\0\0", a little-endian TIFF header, IFD0 at offset 8 with one
  // SHORT entry (0x0112), and no next IFD.
  const uint8_t o = static_cast<uint8_t>(orientation);
  return {'E', 'x', 'i', 'f', 0, 0,                   //
          'I', 'I', 42, 0, 8, 0, 0, 0,                //
          1, 0,                                       // one entry
          0x12, 0x01, 3, 0, 1, 0, 0, 0, o, 0, 0, 0,  // orientation, SHORT, 1 value
          0, 0, 0, 0};
}

}  // namespace krv_sim
