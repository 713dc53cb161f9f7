#include "camera/Tether_qt.h"

#include <climits>
#include <cstring>
#include <string>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTimer>

#include "camera/CameraModels.h"
#include "camera/CameraSettingsText.h"
#include "camera/ImageFileWriter.h"
#include "camera/KRV_SDK.h"
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
      qDebug() << "frameCallback: transfer live frame";
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
