#include "camera/simulator/ptpip/ptpip_camera.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <utility>

#include "camera/simulator/dng_writer.h"
#include "camera/simulator/jpeg_encoder.h"
#include "camera/simulator/ptpip/ptp_codes.h"
#include "camera/simulator/ptpip/ptp_data.h"
#include "camera/simulator/ptpip/ptp_properties.h"
#include "camera/simulator/scene.h"

namespace krv_sim {

using namespace ptp;  // NOLINT: the codes read better unqualified here

struct PtpipCamera::Object {
  std::string name;
  uint16_t format;
  Bytes bytes;
  Bytes thumb;  // null: none
  int width, height;
  std::string captureDate;
};

namespace {

constexpr int kThumbWidth = 160, kThumbHeight = 120;
constexpr uint64_t kCardBytes = 64ull << 30;
constexpr int kStreamWidth = 640, kStreamHeight = 480;

OperationResult Respond(uint16_t code, std::vector<uint32_t> params = {}) {
  OperationResult r;
  r.code = code;
  r.params = std::move(params);
  return r;
}

OperationResult WithData(std::vector<uint8_t> data) {
  OperationResult r = Respond(kOk);
  r.hasData = true;
  r.size = data.size();
  r.data = std::make_shared<const std::vector<uint8_t>>(std::move(data));
  return r;
}

uint32_t Param(const OperationRequest& request, size_t i) {
  return i < request.params.size() ? request.params[i] : 0;
}

std::string Now() {
  char text[32];
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  std::strftime(text, sizeof(text), "%Y%m%dT%H%M%S", &tm);
  return text;
}

uint64_t Fnv1a64(const std::vector<uint8_t>& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

Bytes MakeJpeg(const RgbImage& image, int quality, int orientation, std::string* error) {
  std::vector<uint8_t> out;
  const std::vector<uint8_t> exif =
      orientation >= 1 && orientation <= 8 ? ExifOrientation(orientation) : std::vector<uint8_t>();
  if (!EncodeJpeg(image, quality, "KRV simulated PTP/IP camera", &out, error, exif)) return nullptr;
  return std::make_shared<const std::vector<uint8_t>>(std::move(out));
}

}  // namespace

PtpipCamera::PtpipCamera(std::string serial) : mSerial(std::move(serial)) {
  for (const PropertySpec& p : Properties()) mValues[p.code] = p.factory;
  mCaptureThread = std::thread(&PtpipCamera::captureLoop, this);
}

PtpipCamera::~PtpipCamera() {
  {
    zy::MutexLock lock(&mMu);
    mStopping = true;
  }
  mCaptureCv.signalAll();
  mCaptureThread.join();
}

void PtpipCamera::setWake(std::function<void()> wake) { mWake = std::move(wake); }

void PtpipCamera::wake() {
  if (mWake) mWake();
}

const std::vector<PtpipCamera::OperationEntry>& PtpipCamera::Operations() {
  static const std::vector<OperationEntry> kOperations = {
      {kGetDeviceInfo, &PtpipCamera::getDeviceInfo, false},
      {kOpenSession, &PtpipCamera::openSession, false},
      {kCloseSession, &PtpipCamera::closeSession, true},
      {kGetStorageIDs, &PtpipCamera::getStorageIds, true},
      {kGetStorageInfo, &PtpipCamera::getStorageInfo, true},
      {kGetNumObjects, &PtpipCamera::getNumObjects, true},
      {kGetObjectHandles, &PtpipCamera::getObjectHandles, true},
      {kGetObjectInfo, &PtpipCamera::getObjectInfo, true},
      {kGetObject, &PtpipCamera::getObject, true},
      {kGetThumb, &PtpipCamera::getThumb, true},
      {kDeleteObject, &PtpipCamera::deleteObject, true},
      {kInitiateCapture, &PtpipCamera::initiateCapture, true},
      {kGetDevicePropDesc, &PtpipCamera::getDevicePropDesc, true},
      {kGetDevicePropValue, &PtpipCamera::getDevicePropValue, true},
      {kSetDevicePropValue, &PtpipCamera::setDevicePropValue, true},
      {kGetPartialObject, &PtpipCamera::getPartialObject, true},
      {kGetStreamInfo, &PtpipCamera::getStreamInfo, true},
      {kGetStream, &PtpipCamera::getStream, true},
  };
  return kOperations;
}

OperationResult PtpipCamera::execute(const OperationRequest& request,
                                     const std::vector<uint8_t>& hostData) {
  const OperationEntry* entry = nullptr;
  for (const OperationEntry& e : Operations()) {
    if (e.code == request.code) entry = &e;
  }
  if (!entry) return Respond(kOperationNotSupported);
  {
    zy::MutexLock lock(&mMu);
    if (mSettings.busy > 0) {
      --mSettings.busy;
      return Respond(kDeviceBusy);
    }
    if (entry->needsSession && !mSessionOpen) return Respond(kSessionNotOpen);
  }
  return (this->*(entry->handler))(request, hostData);
}

void PtpipCamera::endSession() {
  zy::MutexLock lock(&mMu);
  mSessionOpen = false;
  mEvents.clear();  // events belong to the connection that ended
}

std::deque<PendingEvent> PtpipCamera::takeEvents() {
  zy::MutexLock lock(&mMu);
  return std::exchange(mEvents, {});
}

PtpipSettings PtpipCamera::settings() {
  zy::MutexLock lock(&mMu);
  return mSettings;
}

bool PtpipCamera::plugged() {
  zy::MutexLock lock(&mMu);
  return mPlugged;
}

void PtpipCamera::queueEvent(PendingEvent event) {
  // Events are for a host in session; a camera not in one keeps none.
  if (mSessionOpen) mEvents.push_back(std::move(event));
}

const PtpipCamera::Object* PtpipCamera::findObject(uint32_t handle) const {
  auto it = mObjects.find(handle);
  return it == mObjects.end() ? nullptr : it->second.get();
}

// ---- Operations

OperationResult PtpipCamera::getDeviceInfo(const OperationRequest&, const std::vector<uint8_t>&) {
  std::vector<uint16_t> ops, props;
  for (const OperationEntry& e : Operations()) ops.push_back(e.code);
  for (const PropertySpec& p : Properties()) props.push_back(p.code);
  DataWriter w;
  w.u16(110);  // PTP 1.1: streams
  w.u32(0);    // no vendor extension: hosts use their generic paths
  w.u16(0);
  w.string("");
  w.u16(0);  // functional mode: standard
  w.u16Array(ops);
  w.u16Array({kObjectAdded, kObjectRemoved, kDevicePropChanged, kCaptureComplete});
  w.u16Array(props);
  w.u16Array({kFormatExifJpeg});
  w.u16Array({kFormatExifJpeg, kFormatDng, kFormatUndefined});
  w.string("Tether Sim");
  w.string("Sim PTP/IP Camera");
  w.string("1.0");
  w.string(mSerial);
  return WithData(std::move(w.data()));
}

OperationResult PtpipCamera::openSession(const OperationRequest& request,
                                         const std::vector<uint8_t>&) {
  zy::MutexLock lock(&mMu);
  if (Param(request, 0) == 0) return Respond(kInvalidParameter);
  if (mSessionOpen) return Respond(kSessionAlreadyOpen, {1});
  mSessionOpen = true;
  return Respond(kOk);
}

OperationResult PtpipCamera::closeSession(const OperationRequest&, const std::vector<uint8_t>&) {
  zy::MutexLock lock(&mMu);
  mSessionOpen = false;
  return Respond(kOk);
}

OperationResult PtpipCamera::getStorageIds(const OperationRequest&, const std::vector<uint8_t>&) {
  DataWriter w;
  w.u32Array({kStorageId});
  return WithData(std::move(w.data()));
}

OperationResult PtpipCamera::getStorageInfo(const OperationRequest& request,
                                            const std::vector<uint8_t>&) {
  if (Param(request, 0) != kStorageId) return Respond(kInvalidStorageId);
  uint64_t used = 0;
  {
    zy::MutexLock lock(&mMu);
    for (const auto& o : mObjects) used += o.second->bytes->size();
  }
  DataWriter w;
  w.u16(4);  // removable RAM
  w.u16(2);  // generic hierarchical
  w.u16(0);  // read-write
  w.u64(kCardBytes);
  w.u64(kCardBytes - std::min(used, kCardBytes));
  w.u32(0xFFFFFFFF);
  w.string("SD");
  w.string("KRVSIM");
  return WithData(std::move(w.data()));
}

OperationResult PtpipCamera::getNumObjects(const OperationRequest& request,
                                           const std::vector<uint8_t>&) {
  const uint32_t storage = Param(request, 0);
  if (storage != kStorageId && storage != 0xFFFFFFFF) return Respond(kInvalidStorageId);
  zy::MutexLock lock(&mMu);
  return Respond(kOk, {static_cast<uint32_t>(mObjects.size())});
}

OperationResult PtpipCamera::getObjectHandles(const OperationRequest& request,
                                              const std::vector<uint8_t>&) {
  // Every picture sits at the card's root, so "all" and "the root's" agree;
  // a filter by format or by another parent finds what matches.
  const uint32_t storage = Param(request, 0), format = Param(request, 1),
                 parent = Param(request, 2);
  if (storage != kStorageId && storage != 0xFFFFFFFF) return Respond(kInvalidStorageId);
  std::vector<uint32_t> found;
  {
    zy::MutexLock lock(&mMu);
    if (parent != 0 && parent != 0xFFFFFFFF) {
      // No picture is a folder.
      return Respond(findObject(parent) ? kInvalidParentObject : kInvalidObjectHandle);
    }
    for (const auto& o : mObjects) {
      if (format == 0 || format == o.second->format) found.push_back(o.first);
    }
  }
  DataWriter w;
  w.u32Array(found);
  return WithData(std::move(w.data()));
}

OperationResult PtpipCamera::getObjectInfo(const OperationRequest& request,
                                           const std::vector<uint8_t>&) {
  std::shared_ptr<const Object> o;
  {
    zy::MutexLock lock(&mMu);
    auto it = mObjects.find(Param(request, 0));
    if (it == mObjects.end()) return Respond(kInvalidObjectHandle);
    o = it->second;
  }
  DataWriter w;
  w.u32(kStorageId);
  w.u16(o->format);
  w.u16(0);  // no protection
  w.u32(static_cast<uint32_t>(o->bytes->size()));
  w.u16(o->thumb ? kFormatJfif : 0);
  w.u32(o->thumb ? static_cast<uint32_t>(o->thumb->size()) : 0);
  w.u32(o->thumb ? kThumbWidth : 0);
  w.u32(o->thumb ? kThumbHeight : 0);
  w.u32(static_cast<uint32_t>(o->width));
  w.u32(static_cast<uint32_t>(o->height));
  w.u32(o->format == kFormatExifJpeg ? 24 : 16);
  w.u32(0);  // parent: the root
  w.u16(0);
  w.u32(0);
  w.u32(0);
  w.string(o->name);
  w.string(o->captureDate);
  w.string(o->captureDate);
  w.string("");
  return WithData(std::move(w.data()));
}

OperationResult PtpipCamera::getObject(const OperationRequest& request,
                                       const std::vector<uint8_t>&) {
  zy::MutexLock lock(&mMu);
  const Object* o = findObject(Param(request, 0));
  if (!o) return Respond(kInvalidObjectHandle);
  OperationResult r = Respond(kOk);
  r.hasData = true;
  r.data = o->bytes;
  r.size = o->bytes->size();
  return r;
}

OperationResult PtpipCamera::getPartialObject(const OperationRequest& request,
                                              const std::vector<uint8_t>&) {
  zy::MutexLock lock(&mMu);
  const Object* o = findObject(Param(request, 0));
  if (!o) return Respond(kInvalidObjectHandle);
  const size_t total = o->bytes->size();
  const size_t offset = std::min<size_t>(Param(request, 1), total);
  const size_t size = std::min<size_t>(Param(request, 2), total - offset);
  OperationResult r = Respond(kOk, {static_cast<uint32_t>(size)});
  r.hasData = true;
  r.data = o->bytes;
  r.offset = offset;
  r.size = size;
  return r;
}

OperationResult PtpipCamera::getThumb(const OperationRequest& request,
                                      const std::vector<uint8_t>&) {
  zy::MutexLock lock(&mMu);
  const Object* o = findObject(Param(request, 0));
  if (!o) return Respond(kInvalidObjectHandle);
  if (!o->thumb) return Respond(kNoThumbnailPresent);
  OperationResult r = Respond(kOk);
  r.hasData = true;
  r.data = o->thumb;
  r.size = o->thumb->size();
  return r;
}

OperationResult PtpipCamera::deleteObject(const OperationRequest& request,
                                          const std::vector<uint8_t>&) {
  const uint32_t handle = Param(request, 0);
  zy::MutexLock lock(&mMu);
  if (handle == 0xFFFFFFFF) {
    mObjects.clear();
    return Respond(kOk);
  }
  if (mObjects.erase(handle) == 0) return Respond(kInvalidObjectHandle);
  return Respond(kOk);
}

OperationResult PtpipCamera::initiateCapture(const OperationRequest& request,
                                             const std::vector<uint8_t>&) {
  // Answered at once, as cameras do; the files follow as events once made.
  {
    zy::MutexLock lock(&mMu);
    mCaptureRequests.push_back(request.transactionId);
  }
  mCaptureCv.signal();
  return Respond(kOk);
}

OperationResult PtpipCamera::getDevicePropDesc(const OperationRequest& request,
                                               const std::vector<uint8_t>&) {
  const PropertySpec* spec = FindProperty(static_cast<uint16_t>(Param(request, 0)));
  if (!spec) return Respond(kDevicePropNotSupported);
  zy::MutexLock lock(&mMu);
  const bool settable = !spec->readOnly && mReadOnly.count(spec->code) == 0;
  return WithData(PropDescDataset(*spec, mValues[spec->code], settable));
}

OperationResult PtpipCamera::getDevicePropValue(const OperationRequest& request,
                                                const std::vector<uint8_t>&) {
  const PropertySpec* spec = FindProperty(static_cast<uint16_t>(Param(request, 0)));
  if (!spec) return Respond(kDevicePropNotSupported);
  DataWriter w;
  {
    zy::MutexLock lock(&mMu);
    w.value(spec->type, mValues[spec->code]);
  }
  return WithData(std::move(w.data()));
}

OperationResult PtpipCamera::setDevicePropValue(const OperationRequest& request,
                                                const std::vector<uint8_t>& hostData) {
  const PropertySpec* spec = FindProperty(static_cast<uint16_t>(Param(request, 0)));
  if (!spec) return Respond(kDevicePropNotSupported);
  DataReader r(hostData.data(), hostData.size());
  int64_t value;
  if (!r.value(spec->type, &value) || r.remaining() != 0) return Respond(kInvalidDevicePropFormat);
  {
    zy::MutexLock lock(&mMu);
    if (spec->readOnly || mReadOnly.count(spec->code) != 0) return Respond(kAccessDenied);
    if (!AcceptsValue(*spec, value)) return Respond(kInvalidDevicePropValue);
    mValues[spec->code] = value;
    queueEvent({kDevicePropChanged, 0, {spec->code}});
  }
  wake();
  return Respond(kOk);
}

OperationResult PtpipCamera::getStreamInfo(const OperationRequest& request,
                                           const std::vector<uint8_t>&) {
  // The video stream is bit 0 of SupportedStreams; hosts ask for it both by
  // that bit's value (1) and by its index (0).
  if (Param(request, 0) > 1) return Respond(kInvalidParameter);
  DataWriter w;
  w.u64(36);         // dataset size
  w.u64(1000000);    // time resolution: microseconds
  w.u32(0);          // frame header size: frames are bare JPEGs
  w.u32(4u << 20);   // frame max size
  w.u32(0);          // packet header size
  w.u32(4u << 20);   // packet max size
  w.u32(0);          // packet alignment
  return WithData(std::move(w.data()));
}

OperationResult PtpipCamera::getStream(const OperationRequest&, const std::vector<uint8_t>&) {
  unsigned frame;
  int quality;
  {
    zy::MutexLock lock(&mMu);
    if ((mValues[kEnabledStreams] & 1) == 0) return Respond(kAccessDenied);
    frame = ++mStreamFrames;
    quality = mSettings.jpegQuality;
  }
  // The live scene: the disc moves and the number counts with every frame.
  std::string error;
  Bytes jpeg = MakeJpeg(RenderScene(kStreamWidth, kStreamHeight, frame), quality, 0, &error);
  if (!jpeg) return Respond(kGeneralError);
  OperationResult r = Respond(kOk);
  r.hasData = true;
  r.data = jpeg;
  r.size = jpeg->size();
  return r;
}

// ---- Captures

bool PtpipCamera::capture(uint32_t transactionId, std::vector<uint32_t>* handles,
                          std::string* error) {
  PtpipSettings s;
  unsigned number;
  {
    zy::MutexLock lock(&mMu);
    if (!mPlugged) {
      *error = "camera unplugged";
      return false;
    }
    s = mSettings;
    number = ++mCaptures;
  }
  char stem[32];
  std::snprintf(stem, sizeof(stem), "IMG_%04u", number % 10000);
  const std::string date = Now();
  std::vector<std::shared_ptr<const Object>> made;  // in the order announced
  if (s.files != CaptureFiles::kRawOnly) {
    Bytes jpeg = MakeJpeg(RenderScene(s.width, s.height, number), s.jpegQuality, s.orientation, error);
    Bytes thumb;
    if (jpeg && s.thumbnail) {
      thumb = MakeJpeg(RenderScene(kThumbWidth, kThumbHeight, number), s.jpegQuality, 0, error);
    }
    if (!jpeg || (s.thumbnail && !thumb)) return false;
    made.push_back(std::make_shared<const Object>(
        Object{std::string(stem) + ".JPG", kFormatExifJpeg, jpeg, thumb, s.width, s.height, date}));
  }
  if (s.files != CaptureFiles::kJpegOnly) {
    int w = s.width, h = s.height;
    if (s.rawBytes > 0) DngSizeForBytes(s.rawBytes, &w, &h);
    DngDescription description;
    description.uniqueCameraModel = "KRV Simulated PTP/IP";
    description.orientation = static_cast<uint16_t>(s.orientation >= 1 ? s.orientation : 1);
    auto raw = std::make_shared<const std::vector<uint8_t>>(WriteDng(RenderScene(w, h, number), description));
    // Other raw formats are "undefined" to PTP; cameras give them the
    // JPEG's thumbnail, without which libgphoto2 will not download them.
    const uint16_t format = s.rawExtension == "DNG" ? kFormatDng : kFormatUndefined;
    Bytes thumb = made.empty() ? nullptr : made.front()->thumb;
    if (!thumb && s.thumbnail) {
      thumb = MakeJpeg(RenderScene(kThumbWidth, kThumbHeight, number), s.jpegQuality, 0, error);
      if (!thumb) return false;
    }
    auto object = std::make_shared<const Object>(
        Object{std::string(stem) + "." + s.rawExtension, format, raw, thumb, w, h, date});
    if (s.rawFirst) made.insert(made.begin(), object); else made.push_back(object);
  }
  {
    zy::MutexLock lock(&mMu);
    if (s.completeFirst) queueEvent({kCaptureComplete, transactionId, {}});
    for (const auto& o : made) {
      const uint32_t handle = mNextHandle++;
      mObjects[handle] = o;
      handles->push_back(handle);
      queueEvent({kObjectAdded, transactionId, {handle}});
    }
    if (!s.completeFirst) queueEvent({kCaptureComplete, transactionId, {}});
    // A full card of a long run forgets its oldest pictures, so a soak test's
    // memory stays flat.
    while (mSettings.cardLimit > 0 && mObjects.size() > mSettings.cardLimit) {
      queueEvent({kObjectRemoved, 0, {mObjects.begin()->first}});
      mObjects.erase(mObjects.begin());
    }
  }
  wake();
  return true;
}

void PtpipCamera::captureLoop() {
  for (;;) {
    uint32_t transactionId;
    {
      zy::MutexLock lock(&mMu);
      while (!mStopping && mCaptureRequests.empty()) mCaptureCv.wait(&mMu);
      if (mStopping) return;
      transactionId = mCaptureRequests.front();
      mCaptureRequests.pop_front();
    }
    std::vector<uint32_t> handles;
    std::string error;
    if (!capture(transactionId, &handles, &error)) {
      std::fprintf(stderr, "krv-sim-ptpip: capture failed: %s\n", error.c_str());
    }
  }
}

// ---- Control

bool PtpipCamera::pressShutter(std::vector<uint32_t>* handles, std::string* error) {
  return capture(0, handles, error);
}

bool PtpipCamera::turnDial(uint16_t code, int64_t value, std::string* error) {
  const PropertySpec* spec = FindProperty(code);
  if (!spec) {
    *error = "unknown property";
    return false;
  }
  if (!AcceptsValue(*spec, value)) {
    *error = "value not among the property's";
    return false;
  }
  {
    zy::MutexLock lock(&mMu);
    mValues[code] = value;
    queueEvent({kDevicePropChanged, 0, {code}});
  }
  wake();
  return true;
}

void PtpipCamera::setReadOnly(uint16_t code, bool readOnly) {
  zy::MutexLock lock(&mMu);
  if (readOnly) mReadOnly.insert(code); else mReadOnly.erase(code);
}

void PtpipCamera::setPlugged(bool plugged) {
  {
    zy::MutexLock lock(&mMu);
    mPlugged = plugged;
  }
  wake();
}

void PtpipCamera::changeSettings(const std::function<void(PtpipSettings&)>& change) {
  zy::MutexLock lock(&mMu);
  change(mSettings);
}

std::string PtpipCamera::stateLine() {
  static const char* const kFiles[] = {"raw+jpeg", "raw", "jpeg"};
  zy::MutexLock lock(&mMu);
  const PtpipSettings& s = mSettings;
  std::ostringstream out;
  out << "ok plugged=" << (mPlugged ? 1 : 0) << " session=" << (mSessionOpen ? 1 : 0)
      << " files=" << kFiles[static_cast<int>(s.files)] << " raw=" << s.rawExtension
      << " order=" << (s.rawFirst ? "raw-first" : "jpeg-first")
      << " complete=" << (s.completeFirst ? "first" : "last")
      << " thumb=" << (s.thumbnail ? "on" : "off") << " orientation=" << s.orientation
      << " size=" << s.width << "x" << s.height << " dng-bytes=" << s.rawBytes
      << " quality=" << s.jpegQuality << " delay=" << s.delayMs
      << " chunk-delay=" << s.chunkDelayMs << " card-limit=" << s.cardLimit << " busy=" << s.busy
      << " captures=" << mCaptures << " objects=" << mObjects.size()
      << " frames=" << mStreamFrames;
  for (const PropertySpec& p : Properties()) {
    out << " " << p.name << "=" << mValues[p.code];
    if (p.readOnly || mReadOnly.count(p.code)) out << "(ro)";
  }
  return out.str();
}

std::string PtpipCamera::objectLine(uint32_t handle) {
  std::shared_ptr<const Object> o;
  {
    zy::MutexLock lock(&mMu);
    auto it = mObjects.find(handle);
    if (it == mObjects.end()) return "";
    o = it->second;
  }
  char hash[17];
  std::snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(Fnv1a64(*o->bytes)));
  return "handle=" + std::to_string(handle) + " name=" + o->name +
         " size=" + std::to_string(o->bytes->size()) + " fnv1a64=" + hash;
}

std::vector<uint32_t> PtpipCamera::handles() {
  zy::MutexLock lock(&mMu);
  std::vector<uint32_t> out;
  for (const auto& o : mObjects) out.push_back(o.first);
  return out;
}

}  // namespace krv_sim
