#include "tests/camera/simulator/image_checks.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <jpeglib.h>
#include <tiffio.h>

namespace krv_test {
namespace {

struct JpegError {
  jpeg_error_mgr base;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JpegFail(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  longjmp(err->jump, 1);
}

// A temporary file removed when it goes out of scope.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    char name[] = "/tmp/krv-sim-test-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) {
      ::close(fd);
      path_ = name;
      std::ofstream(path_, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
  }
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// libtiff reports through process-wide handlers; the tests keep the last
// message (the handlers are installed once per process and only append).
thread_local std::string* tTiffMessages = nullptr;

void TiffHandler(const char* module, const char* fmt, va_list ap) {
  if (tTiffMessages == nullptr) return;
  char text[512];
  std::vsnprintf(text, sizeof(text), fmt, ap);
  *tTiffMessages += std::string(module ? module : "") + ": " + text + "; ";
}

}  // namespace

DecodedJpeg DecodeJpeg(const std::vector<uint8_t>& bytes) {
  DecodedJpeg out;
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = JpegFail;
  if (setjmp(err.jump)) {
    out.ok = false;
    out.error = err.message;
    jpeg_destroy_decompress(&cinfo);
    return out;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  out.width = static_cast<int>(cinfo.output_width);
  out.height = static_cast<int>(cinfo.output_height);
  out.components = cinfo.output_components;
  const size_t stride = static_cast<size_t>(out.width) * out.components;
  out.pixels.resize(stride * out.height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.pixels.data() + cinfo.output_scanline * stride;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  out.ok = err.base.num_warnings == 0;
  if (!out.ok) out.error = "libjpeg warnings";
  return out;
}

DngFacts ReadDng(const std::vector<uint8_t>& bytes) {
  DngFacts f;
  TempFile file(bytes);
  std::string messages;
  tTiffMessages = &messages;
  TIFFSetErrorHandler(TiffHandler);
  TIFFSetWarningHandler(TiffHandler);
  TIFF* tif = TIFFOpen(file.path().c_str(), "r");
  if (tif == nullptr) {
    f.error = "TIFFOpen failed: " + messages;
    tTiffMessages = nullptr;
    return f;
  }
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &f.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &f.height);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &f.bitsPerSample);
  TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &f.samplesPerPixel);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &f.photometric);
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &f.compression);
  TIFFGetField(tif, TIFFTAG_ORIENTATION, &f.orientation);
  TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &f.subfileType);
  uint8_t* version = nullptr;
  if (TIFFGetField(tif, TIFFTAG_DNGVERSION, &version) && version != nullptr) {
    f.dngVersion.assign(version, version + 4);
  }
  char* model = nullptr;
  if (TIFFGetField(tif, TIFFTAG_UNIQUECAMERAMODEL, &model) && model != nullptr) {
    f.uniqueCameraModel = model;
  }
  std::vector<uint8_t> strip(TIFFStripSize(tif));
  bool readOk = true;
  for (tstrip_t s = 0; s < TIFFNumberOfStrips(tif); ++s) {
    const tmsize_t n = TIFFReadEncodedStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size()));
    if (n < 0) {
      readOk = false;
      break;
    }
    f.rawBytesRead += static_cast<uint64_t>(n);
  }
  // A DNG holds one image here: there must be no further directory.
  const bool more = TIFFReadDirectory(tif) != 0;
  TIFFClose(tif);
  tTiffMessages = nullptr;
  f.ok = readOk && !more && messages.empty();
  if (!f.ok) f.error = "strips ok=" + std::to_string(readOk) + " more dirs=" + std::to_string(more) + " " + messages;
  return f;
}

int RunTiffinfo(const std::vector<uint8_t>& bytes, std::string* output) {
  if (::access("/usr/bin/tiffinfo", X_OK) != 0) return -1;
  TempFile file(bytes);
  const std::string command = "/usr/bin/tiffinfo -D " + file.path() + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace krv_test
