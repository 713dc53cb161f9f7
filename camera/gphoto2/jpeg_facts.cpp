#include "camera/gphoto2/jpeg_facts.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <libexif/exif-data.h>

namespace krv_gphoto {

namespace {

// libjpeg reports errors by calling error_exit, which must not return.
struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
  longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

void IgnoreJpegMessage(j_common_ptr, int) {}

}  // namespace

int32_t JpegOrientation(const unsigned char* data, size_t size) {
  if (data == nullptr || size == 0 || size > UINT32_MAX) return 1;
  ExifData* exif = exif_data_new_from_data(data, static_cast<unsigned int>(size));
  if (exif == nullptr) return 1;
  int32_t orientation = 1;
  ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry != nullptr && entry->format == EXIF_FORMAT_SHORT && entry->components == 1) {
    const ExifShort value = exif_get_short(entry->data, exif_data_get_byte_order(exif));
    if (value >= 1 && value <= 8) orientation = value;
  }
  exif_data_unref(exif);
  return orientation;
}

bool MakeThumbnail(const unsigned char* data, size_t size, unsigned maxSide,
                   std::vector<unsigned char>* thumbnail) {
  thumbnail->clear();
  if (data == nullptr || size == 0 || size > 0x7FFFFFFF || maxSide == 0) return false;
  jpeg_decompress_struct in;
  jpeg_compress_struct out;
  JpegError inError, outError;
  unsigned char* encoded = nullptr;
  unsigned long encodedSize = 0;
  std::vector<unsigned char> row;
  in.err = jpeg_std_error(&inError.manager);
  inError.manager.error_exit = OnJpegError;
  inError.manager.emit_message = IgnoreJpegMessage;
  out.err = jpeg_std_error(&outError.manager);
  outError.manager.error_exit = OnJpegError;
  jpeg_create_decompress(&in);
  jpeg_create_compress(&out);
  volatile bool ok = false;
  if (setjmp(inError.jump) == 0 && setjmp(outError.jump) == 0) {
    jpeg_mem_src(&in, data, static_cast<unsigned long>(size));
    jpeg_read_header(&in, TRUE);
    in.out_color_space = JCS_RGB;
    const unsigned longer = in.image_width > in.image_height ? in.image_width : in.image_height;
    unsigned denominator = 1;
    while (denominator < 8 && longer / denominator > maxSide) denominator *= 2;
    in.scale_num = 1;
    in.scale_denom = denominator;
    jpeg_start_decompress(&in);
    jpeg_mem_dest(&out, &encoded, &encodedSize);
    out.image_width = in.output_width;
    out.image_height = in.output_height;
    out.input_components = 3;
    out.in_color_space = JCS_RGB;
    jpeg_set_defaults(&out);
    jpeg_set_quality(&out, 80, TRUE);
    jpeg_start_compress(&out, TRUE);
    row.resize(static_cast<size_t>(in.output_width) * 3);
    JSAMPROW rows[1] = {row.data()};
    while (in.output_scanline < in.output_height) {
      jpeg_read_scanlines(&in, rows, 1);
      jpeg_write_scanlines(&out, rows, 1);
    }
    jpeg_finish_compress(&out);
    jpeg_finish_decompress(&in);
    thumbnail->assign(encoded, encoded + encodedSize);
    ok = true;
  }
  jpeg_destroy_decompress(&in);
  jpeg_destroy_compress(&out);
  std::free(encoded);
  return ok;
}

bool GreyJpeg(unsigned width, unsigned height, std::vector<unsigned char>* jpeg) {
  jpeg->clear();
  if (width == 0 || height == 0 || width > 4096 || height > 4096) return false;
  jpeg_compress_struct out;
  JpegError error;
  unsigned char* encoded = nullptr;
  unsigned long encodedSize = 0;
  std::vector<unsigned char> row(static_cast<size_t>(width) * 3, 0x80);
  out.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = OnJpegError;
  jpeg_create_compress(&out);
  volatile bool ok = false;
  if (setjmp(error.jump) == 0) {
    jpeg_mem_dest(&out, &encoded, &encodedSize);
    out.image_width = width;
    out.image_height = height;
    out.input_components = 3;
    out.in_color_space = JCS_RGB;
    jpeg_set_defaults(&out);
    jpeg_start_compress(&out, TRUE);
    JSAMPROW rows[1] = {row.data()};
    while (out.next_scanline < out.image_height) jpeg_write_scanlines(&out, rows, 1);
    jpeg_finish_compress(&out);
    jpeg->assign(encoded, encoded + encodedSize);
    ok = true;
  }
  jpeg_destroy_compress(&out);
  std::free(encoded);
  return ok;
}

}  // namespace krv_gphoto
