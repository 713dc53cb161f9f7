// One camera reached through libgphoto2: opening it by a CameraChoice,
// its name and settings, its events, triggering a capture, and moving files
// off it. Thread: every call on one thread (the bridge's worker), since a
// libgphoto2 camera, its context and its lists are not thread-safe.
#ifndef KRV_GPHOTO_CAMERA_LINK_H_
#define KRV_GPHOTO_CAMERA_LINK_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gphoto2/gphoto2.h>

#include "camera/gphoto2/camera_choice.h"
#include "camera/gphoto2/capture_files.h"
#include "camera/gphoto2/download_buffer.h"
#include "camera/gphoto2/setting_choices.h"

namespace krv_gphoto {

// The four settings in the SDK's units (KRV_SDK.h); unset when unread.
struct Settings {
  std::optional<double> aperture;
  std::optional<double> shutter;
  std::optional<int32_t> iso;
  std::optional<int32_t> whiteBalance;
};

struct CameraEvent {
  // kNone: the wait timed out. kOther: an event the bridge has no use for.
  enum class Kind { kNone, kFileAdded, kCaptureComplete, kPropertyChanged, kOther, kLost };
  Kind kind = Kind::kNone;
  CameraFile file;           // kFileAdded
  uint16_t property = 0;     // kPropertyChanged: the PTP property code
};

// A whole file downloaded from the camera: libgphoto2's buffer (previews) or
// the bridge's own (files), owned until the download is dropped.
class Download {
 public:
  Download() = default;
  ~Download();
  Download(Download&& other) noexcept;
  Download& operator=(Download&&) = delete;
  Download(const Download&) = delete;
  const unsigned char* data() const { return mData; }
  size_t size() const { return mSize; }

 private:
  friend class CameraLink;
  // Takes `file` (a new libgphoto2 file that `result` says was or was not
  // fetched into): on success it becomes this download, dropping any earlier
  // one; on failure it is freed and this download stays as it was. Returns
  // `result`, or GP_ERROR when the file's bytes cannot be had.
  int take(::CameraFile* file, int result);
  // Takes `buffer` as this download, dropping any earlier one.
  void take(std::unique_ptr<DownloadBuffer> buffer);

  ::CameraFile* mFile = nullptr;
  std::unique_ptr<DownloadBuffer> mBuffer;
  const unsigned char* mData = nullptr;
  size_t mSize = 0;
};

class CameraLink {
 public:
  // `cancel` is polled by libgphoto2 during long operations: once true,
  // they end with GP_ERROR_CANCEL. It must outlive the link.
  explicit CameraLink(const std::atomic<bool>* cancel);
  ~CameraLink();
  CameraLink(const CameraLink&) = delete;
  CameraLink& operator=(const CameraLink&) = delete;

  // Opens the chosen camera. False (closed) when it is not there or does
  // not answer; `error` tells why.
  bool open(const CameraChoice& choice, std::string* error);
  void close();
  bool isOpen() const { return mCamera != nullptr; }

  // "Manufacturer Model" as the camera reports it (abilities' model name
  // when it reports neither); at most 255 bytes.
  std::string name();
  Settings readSettings();
  // The one setting that PTP property `code` holds, into `settings`.
  void readSetting(uint16_t code, Settings* settings);

  // The choices of the setting PTP property `code` holds: the raw property's
  // widget first, then the named ones; no values when none lists any.
  SettingChoices readChoices(uint16_t code);
  // Sets widget `name` to the choice `text`; a libgphoto2 error.
  int setChoice(const std::string& name, const std::string& text);
  // One live-view frame (gp_camera_capture_preview); a libgphoto2 error.
  int preview(Download* out);

  // The next event, waiting at most `timeoutMs`. kLost for an I/O error, or
  // for the third failed wait in a row.
  CameraEvent waitEvent(int timeoutMs);
  // gp_camera_trigger_capture's result.
  int trigger();
  // A file's thumbnail (GP_FILE_TYPE_PREVIEW); a libgphoto2 error.
  int downloadPreview(const CameraFile& file, Download* out);
  // A file's bytes, straight into a buffer reserved at `announced` bytes (0:
  // unknown) that never holds more than `limit` (nor more than announced);
  // a libgphoto2 error. A camera sending more fails the download
  // (GP_ERROR_CORRUPTED_DATA); `out` is then left as it was.
  int download(const CameraFile& file, size_t announced, size_t limit, Download* out);
  int remove(const CameraFile& file);
  // The size the camera gives for a file, or -1.
  long long fileSize(const CameraFile& file);

  // Whether a libgphoto2 result means the camera is gone or unusable.
  static bool IsLoss(int result);

  // The open camera's sockets (PTP/IP): readable when it has something to
  // say or hangs up, so that the caller can sleep on them between event
  // waits. Empty when unknown (USB): the caller then paces itself.
  const std::vector<int>& wakeFds() const { return mWakeFds; }

 private:
  void findWakeFds(const CameraChoice& choice);
  bool pickPort(const CameraChoice& choice, std::string* model, std::string* port,
                std::string* error);
  std::optional<std::string> widgetText(const char* name);

  GPContext* mContext = nullptr;
  CameraAbilitiesList* mAbilities = nullptr;  // loaded once: about 2 ms a probe after
  GPPortInfoList* mPorts = nullptr;
  Camera* mCamera = nullptr;
  std::vector<int> mWakeFds;
  static constexpr int kFailedWaitsForLoss = 3;
  int mFailedWaits = 0;
};

}  // namespace krv_gphoto

#endif  // KRV_GPHOTO_CAMERA_LINK_H_
