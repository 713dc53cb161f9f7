#include "camera/Tether_qt.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTimer>

#include "camera/CameraModels.h"
#include "camera/CameraSettingsText.h"
#include "camera/ImageFileWriter.h"
#include "camera/KRV_SDK.h"
#include "camera/LiveFrameSender.h"
#include "camera/OptionalSdk.h"
#include "camera/SettingChoices.h"
#include "camera/TransferNames.h"
#include "platform/RunLoop.h"
#include "source/ProtocolNames.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/SendMessageToClient.h"

QTimer* Tether_qt::mUpdateDamper = nullptr;
bool Tether_qt::mNeedsUpdate = false;

namespace proto = tether::proto;

namespace {

const int kDamperMilliseconds = 500;

// A copy that shares no data with `text`. mCurImgName crosses threads only
// through such copies (or by moving in), so that QString's reference counts,
// partly inside the uninstrumented Qt library, are only touched under mMutex.
QString UnsharedCopy(const QString& text) { return QString(text.constData(), text.size()); }

// Sends `table` with id 0 and deletes it.
void Send(const char* name, ZyLuaTETable* table, long messageId = 0) {
  SendMessageToClient(messageId, name, table);
  delete table;
}

// "thumbnailWasDownloaded" with a copy of the `size` bytes at `data`
// (size <= INT_MAX).
void SendThumbnail(int32_t captureId, const void* data, unsigned int size) {
  auto* thumbnail = new ZyLuaTETable();
  thumbnail->Set(proto::kCaptureId, new ZyLuaTENumber(captureId));
  try {
    thumbnail->Set(proto::kThumbnailData,
                   new ZyLuaTEData(const_cast<void*>(data), static_cast<int>(size)));
  } catch (int) {
    // Out of memory for the copy: never let an exception into the SDK's thread.
    delete thumbnail;
    qDebug() << "frameCallback: thumbnail dropped, out of memory";
    return;
  }
  Send(proto::kThumbnailWasDownloaded, thumbnail);
}

// One pass of the settings read. A failed read stops the chain; each value
// counts only when its own read succeeded.
struct SettingsRead {
  bool readAperture = false;
  bool apertureOk = false;
  double aperture = 0.0;
  bool shutterOk = false;
  double shutter = 0.0;
  bool isoOk = false;
  int32_t iso = 0;
  // Without the earlier values, or on a model without it, the white balance
  // is not read (and becomes 0).
  bool readWhiteBalance = false;
  bool whiteBalanceOk = false;
  int32_t whiteBalance = 0;
  bool ok = false;  // no read failed
};

SettingsRead ReadSettings(const tether::CameraModel& model) {
  SettingsRead r;
  bool ok = true;
  r.readAperture = model.readsAperture;
  if (r.readAperture) {
    ok = r.apertureOk = KRV_SDK_getProperty(eKRV_SDK_PropAperture, &r.aperture, sizeof r.aperture);
  }
  if (ok) {
    ok = r.shutterOk =
        KRV_SDK_getProperty(eKRV_SDK_PropShutterTime, &r.shutter, sizeof r.shutter);
  }
  if (ok) ok = r.isoOk = KRV_SDK_getProperty(eKRV_SDK_PropIso, &r.iso, sizeof r.iso);
  r.readWhiteBalance = ok && model.readsWhiteBalance;
  if (r.readWhiteBalance) {
    ok = r.whiteBalanceOk = KRV_SDK_getProperty(eKRV_SDK_PropWhiteBalance, &r.whiteBalance,
                                                sizeof r.whiteBalance);
  }
  r.ok = ok;
  return r;
}

}  // namespace

Tether_qt::Tether_qt(QObject* parent) : QObject(parent) {
  // One controller per process: the damper is in effect its own.
  mNeedsUpdate = false;
  mUpdateDamper = new QTimer();
  mUpdateDamper->setSingleShot(true);
  connect(mUpdateDamper, SIGNAL(timeout()), this, SLOT(slotDoUpdate()), Qt::QueuedConnection);
}

Tether_qt::~Tether_qt() {
  {
    zy::MutexLock lock(&mMutex);
    mLiveView = false;
  }
  // The damper is ours; leaving it would leave a timer aimed at a dead object.
  delete mUpdateDamper;
  mUpdateDamper = nullptr;
}

void Tether_qt::init() { KRV_SDK_init(&Tether_qt::sdkCallback, this); }

void Tether_qt::deinit() {
  int32_t productId;
  {
    zy::MutexLock lock(&mMutex);
    productId = mProductID;
  }
  if (productId != 0) KRV_SDK_requestClose();
}

void Tether_qt::exit() { KRV_SDK_exit(); }

void Tether_qt::capture() { KRV_SDK_capture(); }

// ---------------------------------------------------------------- device events

void Tether_qt::sdkCallback(void* context, bool connected, int modelId) {
  auto* self = static_cast<Tether_qt*>(context);
  if (self == nullptr) return;
  if (!connected) {
    self->handleDisconnected(modelId);
    return;
  }
  // Models that we do not drive are ignored entirely.
  const tether::CameraModel* model = tether::FindCameraModel(modelId);
  if (model == nullptr) return;
  if (!model->camerasOwnNames) {
    self->handleConnected(modelId, self->tr(model->displayName));
    return;
  }
  char name[eKRV_SDK_CameraNameMaxBytes] = {};
  const bool named = KRV_SDK_getProperty(eKRV_SDK_PropCameraName, name, sizeof name) &&
                     name[0] != '\0';
  name[sizeof name - 1] = '\0';
  self->handleConnected(modelId, named ? QString::fromUtf8(name) : self->tr(model->displayName));
}

void Tether_qt::handleConnected(int modelId, const QString& displayName) {
  qDebug() << modelId << "connected";
  {
    zy::MutexLock lock(&mMutex);
    mProductID = modelId;
  }
  KRV_SDK_setFrameCallback(&Tether_qt::frameCallback, this);
  KRV_SDK_setChangesCallback(&Tether_qt::changesCallback, this);
  const unsigned char accepted = 1;
  KRV_SDK_setProperty(eKRV_SDK_PropHostAccepted, &accepted, 1);

  auto* table = new ZyLuaTETable();
  table->Set(proto::kDeviceId, new ZyLuaTENumber(modelId));
  table->Set(proto::kName, new ZyLuaTEString(displayName.toStdString()));
  Send(proto::kDeviceAdded, table);

  getCameraSettings();
  // Pending, but no window is opened: the next change or the end of an open
  // window reports it.
  onMainThread(&Tether_qt::markUpdatePending);
}

void Tether_qt::handleDisconnected(int reportedId) {
  int32_t storedId;
  {
    zy::MutexLock lock(&mMutex);
    storedId = mProductID;
    mProductID = 0;
  }
  qDebug() << storedId << "disconnected";
  onMainThread(&Tether_qt::cameraGone);
  if (!tether::IsDisconnectionReported(storedId, reportedId)) return;
  auto* table = new ZyLuaTETable();
  table->Set(proto::kDeviceId, new ZyLuaTENumber(storedId));
  Send(proto::kDeviceRemoved, table);
}

// ---------------------------------------------------------------- settings

bool Tether_qt::getCameraSettings() {
  int32_t productId;
  {
    zy::MutexLock lock(&mMutex);
    productId = mProductID;
  }
  // Read into locals: the SDK may call back into us during a read.
  const SettingsRead read = ReadSettings(tether::CameraModelRules(productId));

  zy::MutexLock lock(&mMutex);
  if (!read.readAperture) {
    mCurAperture = 0.0;
  } else if (read.apertureOk) {
    mCurAperture = read.aperture;
  }
  if (read.shutterOk) mCurShutterTime = read.shutter;
  if (read.isoOk) mCurIso = read.iso;
  if (!read.readWhiteBalance) {
    mCurWBIdx = 0;
  } else if (read.whiteBalanceOk) {
    mCurWBIdx = read.whiteBalance;
  }
  return read.ok;
}

void Tether_qt::getCameraSettingsWithMessageId(int messageId, ZyLuaTE* /*data*/) {
  {
    zy::MutexLock lock(&mMutex);
    if (mProductID == 0) return;
  }
  sendSettingsReport(messageId, proto::kOk);
}

ZyLuaTETable* Tether_qt::createSettingsResultTable() {
  tether::CameraSettings settings;
  {
    zy::MutexLock lock(&mMutex);
    settings.productId = mProductID;
    settings.iso = mCurIso;
    settings.whiteBalance = mCurWBIdx;
    settings.aperture = mCurAperture;
    settings.shutterTime = mCurShutterTime;
  }
  return tether::CreateSettingsTable(settings);
}

void Tether_qt::sendSettingsReport(long messageId, const char* name) {
  Send(name, createSettingsResultTable(), messageId);
}

// ---------------------------------------------------------------- changes and damper

void Tether_qt::changesCallback(void* context, int propertyId, const void* data,
                                unsigned int size) {
  auto* self = static_cast<Tether_qt*>(context);
  if (self == nullptr) return;
  double reported = 0;
  bool known = false;
  for (const tether::SettingInfo& setting : tether::kSettings) {
    if (setting.propertyId == propertyId) known = tether::ReportedValue(setting, data, size, &reported);
  }
  {
    zy::MutexLock lock(&self->mMutex);
    switch (propertyId) {
      case eKRV_SDK_PropAperture:
        if (data != nullptr && size == 8) std::memcpy(&self->mCurAperture, data, 8);
        break;
      case eKRV_SDK_PropShutterTime:
        if (data != nullptr && size == 8) std::memcpy(&self->mCurShutterTime, data, 8);
        break;
      case eKRV_SDK_PropIso:
        if (data != nullptr && size == 4) std::memcpy(&self->mCurIso, data, 4);
        break;
      case eKRV_SDK_PropWhiteBalance:
        if (data != nullptr && size == 4) std::memcpy(&self->mCurWBIdx, data, 4);
        break;
      default:
        return;  // not a setting that we report
    }
  }
  // The report always carries all four values, changed or not.
  self->onMainThread(&Tether_qt::settingsChanged);
  self->onMainThread([self, propertyId, known, reported] {
    self->confirmChange(propertyId, known, reported);
  });
}

void Tether_qt::onMainThread(void (Tether_qt::*member)()) {
  if (zy::RunLoop::isMainThread()) {
    (this->*member)();
    return;
  }
  std::weak_ptr<int> alive = mAlive;
  zy::RunLoop::main().performOnMainThread([this, alive, member] {
    if (!alive.expired()) (this->*member)();
  });
}

void Tether_qt::onMainThread(std::function<void()> call) {
  if (zy::RunLoop::isMainThread()) {
    call();
    return;
  }
  std::weak_ptr<int> alive = mAlive;
  zy::RunLoop::main().performOnMainThread([alive, call = std::move(call)] {
    if (!alive.expired()) call();
  });
}

void Tether_qt::markUpdatePending() { mNeedsUpdate = true; }

void Tether_qt::settingsChanged() {
  mNeedsUpdate = true;
  if (mUpdateDamper->isActive()) return;  // the window's end reports it
  mNeedsUpdate = false;
  sendSettingsReport(0, proto::kCameraSettingsChanged);
  mUpdateDamper->start(kDamperMilliseconds);
}

void Tether_qt::slotDoUpdate() {
  if (!mNeedsUpdate) return;
  mNeedsUpdate = false;
  sendSettingsReport(0, proto::kCameraSettingsChanged);
}

// ---------------------------------------------------------------- image transfer

void Tether_qt::frameCallback(void* context, int state, const void* data, unsigned int size) {
  auto* self = static_cast<Tether_qt*>(context);
  if (self == nullptr) return;
  switch (state) {
    case eKRV_SDK_TransferOrientation: {
      qDebug() << "eKRV_SDK_TransferOrientation";
      if (data == nullptr || size != 4) return;
      int32_t orientation;
      std::memcpy(&orientation, data, 4);
      zy::MutexLock lock(&self->mMutex);
      self->mOrientation = orientation;
      return;
    }
    case eKRV_SDK_TransferThumbnail:
      qDebug() << "eKRV_SDK_TransferThumbnail";
      self->handleThumbnail(data, size);
      return;
    case eKRV_SDK_TransferStartDNG:
      qDebug() << "eKRV_SDK_TransferStartDNG";
      return;
    case eKRV_SDK_TransferStartJPG:
      qDebug() << "eKRV_SDK_TransferStartJPG";
      return;
    case eKRV_SDK_TransferEndDNG:
      qDebug() << "eKRV_SDK_TransferEndDNG";
      self->handleFileEnd(true, data, size);
      return;
    case eKRV_SDK_TransferEndJPG:
      qDebug() << "eKRV_SDK_TransferEndJPG";
      self->handleFileEnd(false, data, size);
      return;
    case eKRV_SDK_TransferError:
      qDebug() << "frameCallback: transfer error";
      return;
    case eKRV_SDK_TransferAborted:
      qDebug() << "frameCallback: transfer aborted";
      return;
    case eKRV_SDK_TransferObjectName:
      qDebug() << "eKRV_SDK_TransferObjectName";
      self->handleObjectName(data, size);
      return;
    case eKRV_SDK_TransferLiveFrame:
      self->handleLiveFrame(data, size);
      return;
    case eKRV_SDK_TransferZoomLevel:
      qDebug() << "frameCallback: transfer zoom level";
      return;
    default:
      qDebug() << "frameCallback: unknown state:" << state;
      return;
  }
}

void Tether_qt::handleObjectName(const void* data, unsigned int size) {
  if (data == nullptr || size == 0) return;
  const char* bytes = static_cast<const char*>(data);
  // 0xFFFFFFFF marks a NUL-terminated name.
  const size_t length = size == 0xFFFFFFFFu ? std::strlen(bytes) : size;
  // A QString cannot hold more; such a name is not a name.
  if (length > static_cast<size_t>(INT_MAX)) return;
  QString name = QString::fromLatin1(bytes, static_cast<int>(length));
  zy::MutexLock lock(&mMutex);
  mCurImgName = std::move(name);  // the old name leaves with `name`, unshared
}

void Tether_qt::handleThumbnail(const void* data, unsigned int size) {
  // A data element cannot carry more than INT_MAX bytes; treat it as empty.
  if (data == nullptr || size == 0 || size > static_cast<unsigned int>(INT_MAX)) return;

  int32_t fileFormat = 0;
  const bool formatKnown = KRV_SDK_getProperty(eKRV_SDK_PropFileFormat, &fileFormat, 4);

  int32_t captureId, orientation, productId, hasSideCar;
  QString name;
  {
    zy::MutexLock lock(&mMutex);
    mCurHasSideCar = 0;
    if (formatKnown) mCurImgName = tether::CompleteObjectName(mCurImgName, fileFormat, mProductID);
    // Wraps instead of overflowing after 2^31 captures.
    mCapID = static_cast<int32_t>(static_cast<uint32_t>(mCapID) + 1u);
    captureId = mCapID;
    orientation = mOrientation;
    productId = mProductID;
    hasSideCar = mCurHasSideCar;
    name = UnsharedCopy(mCurImgName);
  }

  QString fileName = name;
  if (tether::CameraModelRules(productId).fileNamesPrefixCaptureId) {
    fileName = QString::number(captureId) + "_" + name;
  }
  auto* added = new ZyLuaTETable();
  added->Set(proto::kCaptureId, new ZyLuaTENumber(captureId));
  added->Set(proto::kHasSidecar, new ZyLuaTENumber(hasSideCar));
  added->Set(proto::kFileName, new ZyLuaTEString(fileName.toStdString()));
  qDebug() << "-----------" << name;
  added->Set(proto::kImageOrientation, new ZyLuaTEString(tether::OrientationName(orientation)));
  Send(proto::kObjectWasAdded, added);
  SendThumbnail(captureId, data, size);
}

void Tether_qt::handleFileEnd(bool isDng, const void* data, unsigned int size) {
  if (data == nullptr || size == 0) return;
  int32_t fileFormat = 0;
  const bool formatKnown = KRV_SDK_getProperty(eKRV_SDK_PropFileFormat, &fileFormat, 4);
  // A JPEG whose format cannot be read is kept: losing a picture is worse
  // than keeping one too many.
  if (!isDng && formatKnown && !tether::ShouldSaveJpeg(fileFormat)) return;

  int32_t captureId;
  QString extension = isDng ? QStringLiteral("DNG") : QStringLiteral("JPG");
  {
    zy::MutexLock lock(&mMutex);
    captureId = mCapID;
    // A camera of any make keeps its raw format's own extension.
    if (isDng && tether::CameraModelRules(mProductID).camerasOwnNames) {
      extension = tether::RawFileExtension(mCurImgName);
    }
  }
  // Qt answers an empty path when the temp directory does not exist; the
  // name would then land in the root directory.
  const QString tempDir = QDir::tempPath();
  if (tempDir.isEmpty()) {
    qDebug() << "frameCallback: file not saved: no temporary directory";
    return;
  }
  const QString path = tether::TemporaryImagePath(tempDir, captureId, extension);
  qDebug() << path;

  std::string error;
  if (!tether::SaveFileReplacing(QFile::encodeName(path).toStdString(), data, size, &error)) {
    qDebug() << "frameCallback: file not saved:" << error.c_str();
    return;
  }

  auto* table = new ZyLuaTETable();
  table->Set(proto::kCaptureId, new ZyLuaTENumber(captureId));
  table->Set(proto::kFilePath, new ZyLuaTEString(path.toStdString()));
  table->Set(proto::kFileSize, new ZyLuaTENumber(static_cast<double>(size)));
  Send(proto::kFileDownloadComplete, table);
}

// ---------------------------------------------------------------- added commands

namespace {

ZyLuaTETable* ErrorReply(const char* why) {
  auto* reply = new ZyLuaTETable();
  reply->Set(proto::kError, new ZyLuaTEString(why));
  return reply;
}

}  // namespace

int32_t Tether_qt::productId() {
  zy::MutexLock lock(&mMutex);
  return mProductID;
}

void Tether_qt::getCameraChoicesWithMessageId(int messageId, ZyLuaTE* /*data*/) {
  const int32_t model = productId();
  const KRV_SDK_GetChoicesFunction getChoices = tether::SdkGetChoices();
  if (model == 0) return Send(proto::kOk, ErrorReply(proto::kNoCamera), messageId);
  if (getChoices == nullptr) return Send(proto::kOk, ErrorReply(proto::kNotSupported), messageId);
  auto* reply = new ZyLuaTETable();
  for (const tether::SettingInfo& setting : tether::kSettings) {
    const tether::Choices choices = tether::ReadChoices(setting, getChoices, &KRV_SDK_getProperty);
    reply->Set(setting.key, tether::CreateChoicesTable(setting, choices, model));
  }
  Send(proto::kOk, reply, messageId);
}

void Tether_qt::setCameraSettingsWithMessageId(int messageId, ZyLuaTE* data) {
  auto owned = std::make_unique<PendingSet>();
  PendingSet* pending = owned.get();
  pending->messageId = messageId;
  ZyLuaTETable* request =
      data != nullptr && data->mType == ZyLuaTE::kTable ? static_cast<ZyLuaTETable*>(data) : nullptr;
  if (request != nullptr) {
    for (const auto& entry : request->mTable) {
      if (entry.first->mType != ZyLuaTE::kString) continue;
      const std::string key = static_cast<std::string>(*entry.first);
      bool known = false;
      for (const tether::SettingInfo& setting : tether::kSettings) known |= key == setting.key;
      // Bounded: a hostile request cannot make the reply grow past its own size.
      if (!known && key.size() <= 64) pending->refused[key] = proto::kNotASetting;
    }
  }
  // Registered before the first write: a camera may confirm from inside it.
  pending->writing = true;
  mPendingSets.push_back(std::move(owned));
  const int32_t model = productId();
  const KRV_SDK_GetChoicesFunction getChoices = tether::SdkGetChoices();
  for (const tether::SettingInfo& setting : tether::kSettings) {
    ZyLuaTE* value = request != nullptr ? request->elementForKey(setting.key) : nullptr;
    if (value == nullptr) continue;
    if (model == 0 || getChoices == nullptr) {
      pending->refused[setting.key] = model == 0 ? proto::kNoCamera : proto::kNotSupported;
      continue;
    }
    const tether::Resolution r = tether::ResolveValue(
        setting, tether::ReadChoices(setting, getChoices, &KRV_SDK_getProperty), value, model);
    if (!r.refusal.empty()) {
      pending->refused[setting.key] = r.refusal;
      continue;
    }
    pending->awaiting[setting.propertyId] = r.value;
    if (!KRV_SDK_setProperty(setting.propertyId, r.bytes.data(),
                             static_cast<unsigned int>(r.bytes.size()))) {
      pending->awaiting.erase(setting.propertyId);
      pending->refused[setting.key] = proto::kCameraRefused;
    }
  }
  pending->writing = false;
  // Confirmed already (or nothing to wait for): answer now.
  if (pending->awaiting.empty()) return finishSet(pending, proto::kNotConfirmed);
  std::weak_ptr<int> alive = mAlive;
  QTimer::singleShot(kSetConfirmMilliseconds, [this, alive, pending] {
    if (alive.expired()) return;
    for (const auto& q : mPendingSets) {
      if (q.get() == pending) return finishSet(pending, proto::kNotConfirmed);
    }
  });
}

void Tether_qt::confirmChange(int propertyId, bool known, double value) {
  // Copied: finishing a set removes it from the list.
  std::vector<PendingSet*> sets;
  for (const auto& p : mPendingSets) sets.push_back(p.get());
  for (PendingSet* pending : sets) {
    auto it = pending->awaiting.find(propertyId);
    if (it == pending->awaiting.end()) continue;
    const double wanted = it->second;
    pending->awaiting.erase(it);
    // The camera applied something else (its own rounding, a dial turned
    // meanwhile): the reply's settings say what it holds.
    if (!known || std::fabs(value - wanted) > 1e-6 * std::max(1.0, std::fabs(wanted))) {
      for (const tether::SettingInfo& setting : tether::kSettings) {
        if (setting.propertyId == propertyId) pending->refused[setting.key] = proto::kCameraRefused;
      }
    }
    if (pending->awaiting.empty() && !pending->writing) finishSet(pending, proto::kNotConfirmed);
  }
}

void Tether_qt::PendingSet::refuseAwaiting(const char* why) {
  for (const auto& [propertyId, value] : awaiting) {
    (void)value;
    for (const tether::SettingInfo& setting : tether::kSettings) {
      if (setting.propertyId == propertyId) refused[setting.key] = why;
    }
  }
  awaiting.clear();
}

void Tether_qt::finishSet(PendingSet* pending, const char* why) {
  pending->refuseAwaiting(why);
  auto* refused = new ZyLuaTETable();
  for (const auto& [key, reason] : pending->refused) {
    refused->Set(key.c_str(), new ZyLuaTEString(reason));
  }
  auto* reply = new ZyLuaTETable();
  reply->Set(proto::kSettings, createSettingsResultTable());
  reply->Set(proto::kRefused, refused);
  const int messageId = pending->messageId;
  for (auto it = mPendingSets.begin(); it != mPendingSets.end(); ++it) {
    if (it->get() == pending) {
      mPendingSets.erase(it);
      break;
    }
  }
  Send(proto::kOk, reply, messageId);
}

void Tether_qt::startLiveViewWithMessageId(int messageId, ZyLuaTE* /*data*/) {
  const KRV_SDK_LiveViewFunction start = tether::SdkStartLiveView();
  if (productId() == 0) return Send(proto::kOk, ErrorReply(proto::kNoCamera), messageId);
  if (start == nullptr || tether::SdkStopLiveView() == nullptr) {
    return Send(proto::kOk, ErrorReply(proto::kNotSupported), messageId);
  }
  {
    zy::MutexLock lock(&mMutex);
    if (!mLiveFrames) {
      mLiveFrames = std::make_unique<tether::LiveFrameSender>(tether::LiveFrameSender::Hooks{
          &UnreadBytesAtClient, [](uint32_t sequence, std::vector<uint8_t> jpeg) {
            auto frame = std::make_unique<ZyLuaTETable>();
            frame->Set(proto::kSequence, new ZyLuaTENumber(sequence));
            frame->Set(proto::kFrameSize, new ZyLuaTENumber(static_cast<double>(jpeg.size())));
            try {
              frame->Set(proto::kFrameData, new ZyLuaTEData(jpeg.data(), static_cast<int>(jpeg.size())));
            } catch (int) {
              return;  // out of memory: this frame is skipped, the next may fit
            }
            // Held once from here on: in the table, then only in its encoding.
            std::vector<uint8_t>().swap(jpeg);
            SendFrequentMessageToClient(proto::kLiveViewFrame, std::move(frame));
          }});
    }
    mLiveView = true;  // before the start: the first frame may come from inside it
  }
  if (!start()) {
    zy::MutexLock lock(&mMutex);
    mLiveView = false;
    return Send(proto::kOk, ErrorReply(proto::kCameraRefused), messageId);
  }
  auto* reply = new ZyLuaTETable();
  reply->Set(proto::kLiveView, new ZyLuaTENumber(1));
  Send(proto::kOk, reply, messageId);
}

void Tether_qt::stopLiveViewWithMessageId(int messageId, ZyLuaTE* /*data*/) {
  const KRV_SDK_LiveViewFunction stop = tether::SdkStopLiveView();
  if (stop == nullptr) return Send(proto::kOk, ErrorReply(proto::kNotSupported), messageId);
  bool wasOn;
  {
    zy::MutexLock lock(&mMutex);
    wasOn = mLiveView;
    mLiveView = false;
    if (mLiveFrames) mLiveFrames->clear();
  }
  if (wasOn) stop();
  auto* reply = new ZyLuaTETable();
  reply->Set(proto::kLiveView, new ZyLuaTENumber(0));
  Send(proto::kOk, reply, messageId);
}

void Tether_qt::handleLiveFrame(const void* data, unsigned int size) {
  tether::LiveFrameSender* sender = nullptr;
  {
    zy::MutexLock lock(&mMutex);
    if (mLiveView) sender = mLiveFrames.get();
  }
  // Only a frame nobody asked for is worth a log line; asked-for frames come
  // twenty times a second.
  if (sender == nullptr) {
    qDebug() << "frameCallback: transfer live frame";
    return;
  }
  if (data == nullptr || size == 0 || size > static_cast<unsigned int>(INT_MAX)) return;
  sender->offer(data, size);
}

void Tether_qt::cameraGone() {
  bool wasOn;
  {
    zy::MutexLock lock(&mMutex);
    // A camera that came back meanwhile keeps what it has.
    if (mProductID != 0) return;
    wasOn = mLiveView;
    mLiveView = false;
    if (mLiveFrames) mLiveFrames->clear();
  }
  if (wasOn) {
    auto* stopped = new ZyLuaTETable();
    stopped->Set(proto::kReason, new ZyLuaTEString(proto::kNoCamera));
    Send(proto::kLiveViewStopped, stopped);
  }
  std::vector<PendingSet*> sets;
  for (const auto& p : mPendingSets) sets.push_back(p.get());
  for (PendingSet* pending : sets) {
    if (!pending->writing) {
      finishSet(pending, proto::kNoCamera);
      continue;
    }
    // Still writing: answered after its last write, with these refused.
    pending->refuseAwaiting(proto::kNoCamera);
  }
}
