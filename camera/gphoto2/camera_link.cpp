#include "camera/gphoto2/camera_link.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <vector>
#include <utility>

#include "camera/gphoto2/descriptor_zero.h"
#include "camera/gphoto2/setting_values.h"

namespace krv_gphoto {

namespace {

// libgphoto2's abilities entry for cameras reached over PTP/IP.
const char kPtpipModel[] = "PTP/IP Camera";
const size_t kMaxNameBytes = 255;
// More choices than any camera lists: a widget with more is cut here.
const int kMaxWidgetChoices = 512;

// libgphoto2 2.5.30 closes descriptor 0 when it closes a PTP/IP camera: its
// never-opened JPEG socket is left at 0 rather than marked invalid. The task
// keeps its command pipe elsewhere and /dev/null on 0, but whatever 0 holds
// must stay there: a 0 left free would go to the next socket the library
// opens, and the library's next close of a camera would close it twice (or
// close a file of ours that took 0 meanwhile). Held around every call that
// may close a camera, this puts back what the library took away.
class StdinGuard {
 public:
  StdinGuard() {
    OccupyDescriptorZero();
    mSaved = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  }
  ~StdinGuard() {
    if (mSaved < 0) return;
    OccupyDescriptorZero(mSaved);
    ::close(mSaved);
  }
  StdinGuard(const StdinGuard&) = delete;
  StdinGuard& operator=(const StdinGuard&) = delete;

 private:
  int mSaved = -1;
};

GPContextFeedback PollCancel(GPContext*, void* data) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(data);
  return cancel->load() ? GP_CONTEXT_FEEDBACK_CANCEL : GP_CONTEXT_FEEDBACK_OK;
}

// The named widgets to fall back on, per setting, when the raw value is missing.
struct SettingWidgets {
  uint16_t code;
  const char* names[2];
};
const SettingWidgets kSettingWidgets[] = {
    {kPtpFNumber, {"f-number", "aperture"}},
    {kPtpExposureTime, {"shutterspeed", "shutterspeed2"}},
    {kPtpExposureIndex, {"iso", "isospeed"}},
    {kPtpWhiteBalance, {"whitebalance", nullptr}},
};

void Store(uint16_t code, uint32_t raw, Settings* s) {
  switch (code) {
    case kPtpFNumber: s->aperture = ApertureFromPtp(raw); break;
    case kPtpExposureTime: s->shutter = ShutterFromPtp(raw); break;
    case kPtpExposureIndex: s->iso = IsoFromPtp(raw); break;
    case kPtpWhiteBalance: s->whiteBalance = WhiteBalanceFromPtp(raw); break;
    default: break;
  }
}

bool StoreText(uint16_t code, const std::string& text, Settings* s) {
  double d;
  int32_t i;
  switch (code) {
    case kPtpFNumber: return ApertureFromText(text, &d) && (s->aperture = d, true);
    case kPtpExposureTime: return ShutterFromText(text, &d) && (s->shutter = d, true);
    case kPtpExposureIndex: return IsoFromText(text, &i) && (s->iso = i, true);
    case kPtpWhiteBalance: return WhiteBalanceFromText(text, &i) && (s->whiteBalance = i, true);
    default: return false;
  }
}

}  // namespace

Download::~Download() {
  if (mFile != nullptr) gp_file_unref(mFile);
}

Download::Download(Download&& other) noexcept
    : mFile(std::exchange(other.mFile, nullptr)),
      mBuffer(std::move(other.mBuffer)),
      mData(std::exchange(other.mData, nullptr)),
      mSize(std::exchange(other.mSize, 0)) {}

void Download::take(std::unique_ptr<DownloadBuffer> buffer) {
  if (mFile != nullptr) gp_file_unref(mFile);
  mFile = nullptr;
  mBuffer = std::move(buffer);
  mData = mBuffer->data();
  mSize = mBuffer->size();
}

int Download::take(::CameraFile* file, int result) {
  const char* data = nullptr;
  unsigned long size = 0;
  if (result < GP_OK || gp_file_get_data_and_size(file, &data, &size) < GP_OK) {
    gp_file_unref(file);
    return result < GP_OK ? result : GP_ERROR;
  }
  if (mFile != nullptr) gp_file_unref(mFile);
  mBuffer.reset();
  mFile = file;
  mData = reinterpret_cast<const unsigned char*>(data);
  mSize = size;
  return GP_OK;
}

CameraLink::CameraLink(const std::atomic<bool>* cancel) {
  mContext = gp_context_new();
  gp_context_set_cancel_func(mContext, &PollCancel, const_cast<std::atomic<bool>*>(cancel));
}

CameraLink::~CameraLink() {
  close();
  if (mPorts != nullptr) gp_port_info_list_free(mPorts);
  if (mAbilities != nullptr) gp_abilities_list_free(mAbilities);
  gp_context_unref(mContext);
}

bool CameraLink::IsLoss(int result) {
  return result == GP_ERROR_IO || result == GP_ERROR_TIMEOUT ||
         (result <= GP_ERROR_IO_SUPPORTED_SERIAL && result >= GP_ERROR_IO_LOCK) ||
         result == GP_ERROR_MODEL_NOT_FOUND;
}

bool CameraLink::pickPort(const CameraChoice& choice, std::string* model, std::string* port,
                          std::string* error) {
  if (mAbilities == nullptr) {
    gp_abilities_list_new(&mAbilities);
    gp_abilities_list_load(mAbilities, mContext);
  }
  // The port list is read again at every probe: USB ports come and go.
  if (mPorts != nullptr) gp_port_info_list_free(mPorts);
  mPorts = nullptr;
  gp_port_info_list_new(&mPorts);
  gp_port_info_list_load(mPorts);
  if (choice.kind == CameraChoice::Kind::kPtpip) {
    *model = kPtpipModel;
    *port = choice.port;
    return true;
  }
  CameraList* detected = nullptr;
  gp_list_new(&detected);
  gp_abilities_list_detect(mAbilities, mPorts, detected, mContext);
  bool found = false;
  for (int i = 0, n = gp_list_count(detected); i < n && !found; ++i) {
    const char* name = nullptr;
    const char* path = nullptr;
    gp_list_get_name(detected, i, &name);
    gp_list_get_value(detected, i, &path);
    if (name == nullptr || path == nullptr) continue;
    const bool match = choice.kind == CameraChoice::Kind::kFirstDetected ||
                       (choice.kind == CameraChoice::Kind::kUsbPort && choice.port == path) ||
                       (choice.kind == CameraChoice::Kind::kModel && choice.model == name);
    if (match) {
      *model = name;
      *port = path;
      found = true;
    }
  }
  gp_list_free(detected);
  if (!found) *error = "no such camera detected";
  return found;
}

bool CameraLink::open(const CameraChoice& choice, std::string* error) {
  close();
  std::string model, port;
  if (!pickPort(choice, &model, &port, error)) return false;
  const int modelIndex = gp_abilities_list_lookup_model(mAbilities, model.c_str());
  const int portIndex = gp_port_info_list_lookup_path(mPorts, port.c_str());
  if (modelIndex < 0 || portIndex < 0) {
    *error = "libgphoto2 knows no model '" + model + "' or port '" + port + "'";
    return false;
  }
  CameraAbilities abilities;
  GPPortInfo portInfo;
  gp_abilities_list_get_abilities(mAbilities, modelIndex, &abilities);
  gp_port_info_list_get_info(mPorts, portIndex, &portInfo);
  gp_camera_new(&mCamera);
  gp_camera_set_abilities(mCamera, abilities);
  gp_camera_set_port_info(mCamera, portInfo);
  mFailedWaits = 0;
  StdinGuard guard;
  const int result = gp_camera_init(mCamera, mContext);
  if (result < GP_OK) {
    *error = std::string("cannot open ") + port + ": " + gp_result_as_string(result);
    gp_camera_free(mCamera);
    mCamera = nullptr;
    return false;
  }
  findWakeFds(choice);
  return true;
}

// libgphoto2 does not give out its PTP/IP sockets; they are this process's
// TCP sockets connected to the camera's address (the task opens no other).
void CameraLink::findWakeFds(const CameraChoice& choice) {
  mWakeFds.clear();
  if (choice.kind != CameraChoice::Kind::kPtpip) return;
  const std::string rest = choice.port.substr(choice.port.find(':') + 1);
  in_addr camera{};
  if (inet_pton(AF_INET, rest.substr(0, rest.find(':')).c_str(), &camera) != 1) return;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return;
  while (const dirent* entry = readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || end == entry->d_name || fd == dirfd(fds)) continue;
    struct stat st;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (fstat(static_cast<int>(fd), &st) == 0 && S_ISSOCK(st.st_mode) &&
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        length == sizeof peer && peer.sin_family == AF_INET &&
        peer.sin_addr.s_addr == camera.s_addr) {
      mWakeFds.push_back(static_cast<int>(fd));
    }
  }
  closedir(fds);
}

void CameraLink::close() {
  mWakeFds.clear();
  if (mCamera == nullptr) return;
  StdinGuard guard;
  gp_camera_exit(mCamera, mContext);
  gp_camera_free(mCamera);
  mCamera = nullptr;
}

std::optional<std::string> CameraLink::widgetText(const char* name) {
  CameraWidget* widget = nullptr;
  if (gp_camera_get_single_config(mCamera, name, &widget, mContext) < GP_OK) return std::nullopt;
  std::optional<std::string> text;
  CameraWidgetType type;
  gp_widget_get_type(widget, &type);
  if (type == GP_WIDGET_RANGE) {
    float value = 0;
    if (gp_widget_get_value(widget, &value) == GP_OK) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.0f", static_cast<double>(value));
      text = buffer;
    }
  } else if (type == GP_WIDGET_TEXT || type == GP_WIDGET_MENU || type == GP_WIDGET_RADIO) {
    const char* value = nullptr;
    if (gp_widget_get_value(widget, &value) == GP_OK && value != nullptr) text = value;
  }
  gp_widget_free(widget);
  return text;
}

std::string CameraLink::name() {
  std::string name;
  const std::optional<std::string> maker = widgetText("manufacturer");
  const std::optional<std::string> model = widgetText("cameramodel");
  if (maker && !maker->empty()) name = *maker;
  if (model && !model->empty()) name += (name.empty() ? "" : " ") + *model;
  if (name.empty()) {
    CameraAbilities abilities;
    if (gp_camera_get_abilities(mCamera, &abilities) == GP_OK) name = abilities.model;
  }
  if (name.size() > kMaxNameBytes) name.resize(kMaxNameBytes);
  return name;
}

void CameraLink::readSetting(uint16_t code, Settings* settings) {
  char raw[8];
  std::snprintf(raw, sizeof raw, "%04x", code);
  uint32_t value;
  const std::optional<std::string> text = widgetText(raw);
  if (text && PtpValueFromText(*text, &value)) {
    Store(code, value, settings);
    return;
  }
  for (const SettingWidgets& entry : kSettingWidgets) {
    if (entry.code != code) continue;
    for (const char* name : entry.names) {
      if (name == nullptr) continue;
      const std::optional<std::string> named = widgetText(name);
      if (named && StoreText(code, *named, settings)) return;
    }
  }
}

namespace {

// A menu or radio widget's choice texts; empty for any other widget.
std::vector<std::string> ChoiceTexts(CameraWidget* widget) {
  std::vector<std::string> texts;
  CameraWidgetType type;
  if (gp_widget_get_type(widget, &type) < GP_OK ||
      (type != GP_WIDGET_MENU && type != GP_WIDGET_RADIO)) {
    return texts;
  }
  const int count = std::min(gp_widget_count_choices(widget), kMaxWidgetChoices);
  for (int i = 0; i < count; ++i) {
    const char* choice = nullptr;
    if (gp_widget_get_choice(widget, i, &choice) == GP_OK && choice != nullptr) {
      texts.emplace_back(choice);
    }
  }
  return texts;
}

}  // namespace

SettingChoices CameraLink::readChoices(uint16_t code) {
  char raw[8];
  std::snprintf(raw, sizeof raw, "%04x", code);
  std::vector<const char*> names = {raw};
  for (const SettingWidgets& entry : kSettingWidgets) {
    if (entry.code != code) continue;
    for (const char* name : entry.names) {
      if (name != nullptr) names.push_back(name);
    }
  }
  for (const char* name : names) {
    CameraWidget* widget = nullptr;
    if (gp_camera_get_single_config(mCamera, name, &widget, mContext) < GP_OK) continue;
    SettingChoices choices = MapChoices(code, name == names[0], ChoiceTexts(widget));
    int readOnly = 0;
    gp_widget_get_readonly(widget, &readOnly);
    gp_widget_free(widget);
    if (choices.values.empty()) continue;
    choices.widget = name;
    choices.readOnly = readOnly != 0;
    return choices;
  }
  return SettingChoices();
}

int CameraLink::setChoice(const std::string& name, const std::string& text) {
  CameraWidget* widget = nullptr;
  int result = gp_camera_get_single_config(mCamera, name.c_str(), &widget, mContext);
  if (result < GP_OK) return result;
  result = gp_widget_set_value(widget, text.c_str());
  if (result >= GP_OK) result = gp_camera_set_single_config(mCamera, name.c_str(), widget, mContext);
  gp_widget_free(widget);
  return result;
}

int CameraLink::preview(Download* out) {
  ::CameraFile* f = nullptr;
  gp_file_new(&f);
  return out->take(f, gp_camera_capture_preview(mCamera, f, mContext));
}

Settings CameraLink::readSettings() {
  Settings settings;
  for (const SettingWidgets& entry : kSettingWidgets) readSetting(entry.code, &settings);
  return settings;
}

CameraEvent CameraLink::waitEvent(int timeoutMs) {
  CameraEvent event;
  CameraEventType type = GP_EVENT_TIMEOUT;
  void* data = nullptr;
  const int result = gp_camera_wait_for_event(mCamera, timeoutMs, &type, &data, mContext);
  if (result < GP_OK) {
    // A PTP/IP peer that hung up answers every wait with a general error
    // ("End of stream"), which a camera may also give once in passing: a few
    // in a row mean it is gone.
    const bool passing = result == GP_ERROR_CAMERA_BUSY || result == GP_ERROR_CANCEL;
    if (!passing) ++mFailedWaits;
    if (IsLoss(result) || mFailedWaits >= kFailedWaitsForLoss) {
      event.kind = CameraEvent::Kind::kLost;
    }
    return event;
  }
  mFailedWaits = 0;
  switch (type) {
    case GP_EVENT_FILE_ADDED: {
      const auto* path = static_cast<const CameraFilePath*>(data);
      event.kind = CameraEvent::Kind::kFileAdded;
      event.file.folder = path->folder;
      event.file.name = path->name;
      break;
    }
    case GP_EVENT_CAPTURE_COMPLETE:
      event.kind = CameraEvent::Kind::kCaptureComplete;
      break;
    case GP_EVENT_UNKNOWN:
      event.kind = ChangedPtpProperty(static_cast<const char*>(data), &event.property)
                       ? CameraEvent::Kind::kPropertyChanged
                       : CameraEvent::Kind::kOther;
      break;
    case GP_EVENT_TIMEOUT:
      break;
    default:
      event.kind = CameraEvent::Kind::kOther;
      break;
  }
  std::free(data);
  return event;
}

int CameraLink::trigger() { return gp_camera_trigger_capture(mCamera, mContext); }

int CameraLink::downloadPreview(const CameraFile& file, Download* out) {
  ::CameraFile* f = nullptr;
  gp_file_new(&f);
  return out->take(f, gp_camera_file_get(mCamera, file.folder.c_str(), file.name.c_str(),
                                         GP_FILE_TYPE_PREVIEW, f, mContext));
}

namespace {

// libgphoto2 appends each piece it receives through this; only `write` is
// ever called for a download (`size` and `read` serve a reader of the file).
int BufferSize(void* buffer, uint64_t* size) {
  *size = static_cast<const DownloadBuffer*>(buffer)->size();
  return GP_OK;
}
int BufferRead(void*, unsigned char*, uint64_t*) { return GP_ERROR_NOT_SUPPORTED; }
int BufferWrite(void* buffer, unsigned char* data, uint64_t* size) {
  return static_cast<DownloadBuffer*>(buffer)->append(data, static_cast<size_t>(*size))
             ? GP_OK
             : GP_ERROR_NO_MEMORY;
}
CameraFileHandler kBufferHandler = {&BufferSize, &BufferRead, &BufferWrite};

}  // namespace

int CameraLink::download(const CameraFile& file, size_t announced, size_t limit, Download* out) {
  auto buffer = std::make_unique<DownloadBuffer>(announced, limit);
  ::CameraFile* f = nullptr;
  int result = gp_file_new_from_handler(&f, &kBufferHandler, buffer.get());
  if (result < GP_OK) return result;
  result = gp_camera_file_get(mCamera, file.folder.c_str(), file.name.c_str(),
                              GP_FILE_TYPE_NORMAL, f, mContext);
  gp_file_unref(f);
  // libgphoto2 goes on past a refused piece of a file fetched in parts.
  if (result >= GP_OK && buffer->refused()) result = GP_ERROR_CORRUPTED_DATA;
  if (result >= GP_OK) out->take(std::move(buffer));
  return result;
}

long long CameraLink::fileSize(const CameraFile& file) {
  CameraFileInfo info;
  if (gp_camera_file_get_info(mCamera, file.folder.c_str(), file.name.c_str(), &info,
                              mContext) < GP_OK ||
      (info.file.fields & GP_FILE_INFO_SIZE) == 0) {
    return -1;
  }
  return static_cast<long long>(info.file.size);
}

int CameraLink::remove(const CameraFile& file) {
  return gp_camera_file_delete(mCamera, file.folder.c_str(), file.name.c_str(), mContext);
}

}  // namespace krv_gphoto
