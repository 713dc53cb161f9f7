// The process's one camera controller: starts and stops the camera SDK, turns
// its device, property-change and transfer callbacks into host messages, keeps
// the connected camera's state and exposure settings, and spaces the reports of
// changed settings with a 500 ms damper.
//
// Threads. The constructor, destructor, init/deinit/exit/capture, the settings
// request and slotDoUpdate run on the main thread (the one that owns the
// QCoreApplication and zy::RunLoop::main()). The SDK may call the three static
// callbacks on any thread, at any time, also from inside an SDK call that the
// main thread is making. The instance fields are guarded by mMutex (checked
// by Clang's thread-safety analysis), which is never held across an SDK call
// or a send, and callbacks never wait for the main thread. The damper (its
// timer and mNeedsUpdate) lives on the main thread only: callbacks hand their
// part of it over with performOnMainThread.
#ifndef TETHER_QT_H_
#define TETHER_QT_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QObject>
#include <QString>

#include "platform/Mutex.h"

class QTimer;
class ZyLuaTE;
class ZyLuaTETable;

namespace tether {
class LiveFrameSender;
}

class Tether_qt : public QObject {
  Q_OBJECT

 public:
  explicit Tether_qt(QObject* parent = nullptr);
  // Sends nothing and makes no SDK call. The SDK must not call back after
  // this (exit() first).
  ~Tether_qt() override;
  Tether_qt(const Tether_qt&) = delete;
  Tether_qt& operator=(const Tether_qt&) = delete;

  // KRV_SDK_init with the device callback and this controller as context.
  void init();
  // Asks the SDK to close the connected camera; nothing without a camera.
  void deinit();
  // Shuts the SDK down; always the last SDK call.
  void exit();
  // One capture, whether or not a camera is connected.
  void capture();

  // Reads aperture, shutter time, ISO and white balance from the SDK into the
  // fields. A failed read stops the chain and leaves its field as it was; the
  // white balance becomes 0 when it is not read. True when no read failed.
  bool getCameraSettings();
  // Replies "ok" with the settings table to request `messageId` while a
  // camera is connected; sends nothing otherwise. `data` is not read.
  void getCameraSettingsWithMessageId(int messageId, ZyLuaTE* data);
  // A new camera settings table from the fields, owned by the caller.
  ZyLuaTETable* createSettingsResultTable();

  // The commands the protocol gained later. Each is always answered with
  // "ok" (an "error" key when it could not be done at all); main thread.
  // The choices of the four settings, from the camera.
  void getCameraChoicesWithMessageId(int messageId, ZyLuaTE* data);
  // Sets the settings in `data` that are among their choices, and answers
  // once the camera has confirmed each (or kSetConfirmMilliseconds passed)
  // with the settings then and why any was not set.
  void setCameraSettingsWithMessageId(int messageId, ZyLuaTE* data);
  // Live frames go out as "liveViewFrame" until stopped or the camera goes
  // (then "liveViewStopped").
  void startLiveViewWithMessageId(int messageId, ZyLuaTE* data);
  void stopLiveViewWithMessageId(int messageId, ZyLuaTE* data);

  // How long a "setCameraSettings" waits for the camera's change reports.
  static constexpr int kSetConfirmMilliseconds = 2000;

  // The SDK's callbacks; `context` is the controller, and a null context is
  // ignored.
  static void sdkCallback(void* context, bool connected, int modelId);
  static void frameCallback(void* context, int state, const void* data, unsigned int size);
  static void changesCallback(void* context, int propertyId, const void* data,
                              unsigned int size);

  // The damper: a single-shot timer whose timeout reaches slotDoUpdate through
  // a queued connection, and the flag of a pending report. Main thread only:
  // confined to one thread rather than locked, so not annotated.
  static QTimer* mUpdateDamper;
  static bool mNeedsUpdate;

 private slots:
  void slotDoUpdate();

 private:
  // The settings changed: report now when no damper window is open, else at
  // its end. Main thread.
  void settingsChanged();
  // Marks a report as pending without opening a window. Main thread.
  void markUpdatePending();
  // Runs `member` on the main thread: inline when already there, else posted.
  // Posted calls are dropped once the controller is gone.
  void onMainThread(void (Tether_qt::*member)());
  void onMainThread(std::function<void()> call);
  void sendSettingsReport(long messageId, const char* name);

  // The device callback's two halves: a connected model that we drive, and
  // any disconnection.
  void handleConnected(int modelId, const QString& displayName);
  void handleDisconnected(int reportedId);

  void handleThumbnail(const void* data, unsigned int size);
  void handleFileEnd(bool isDng, const void* data, unsigned int size);
  void handleObjectName(const void* data, unsigned int size);
  void handleLiveFrame(const void* data, unsigned int size);

  // A "setCameraSettings" waiting for the camera to confirm its values.
  struct PendingSet {
    int messageId = 0;
    std::map<int, double> awaiting;              // property id -> value set
    std::map<std::string, std::string> refused;  // key -> why
    // Its writes are still being made (a camera may confirm from inside
    // one): it is answered after the last, never during them.
    bool writing = false;
    // Moves every setting still awaited to `refused`, with `why`.
    void refuseAwaiting(const char* why);
  };
  // A change report of `propertyId` (its value when `known`) reached the
  // main thread: settles the pending sets waiting for it.
  void confirmChange(int propertyId, bool known, double value);
  // Answers `pending` (which must be in mPendingSets) and forgets it; what it
  // still awaits is refused with `why`.
  void finishSet(PendingSet* pending, const char* why);
  // The camera went: live view ends and pending sets are answered.
  void cameraGone();
  int32_t productId();

  // Main thread only, like the damper.
  std::vector<std::unique_ptr<PendingSet>> mPendingSets;

  // Guards every instance field below: callbacks on SDK threads read and
  // write them. Never held across an SDK call or SendMessageToClient.
  zy::Mutex mMutex;
  int32_t mProductID GUARDED_BY(mMutex) = 0;    // model id of the connected camera, 0 for none
  int32_t mOrientation GUARDED_BY(mMutex) = 0;  // last orientation code reported
  int32_t mCapID GUARDED_BY(mMutex) = 0;        // id of the capture in progress
  int32_t mCurIso GUARDED_BY(mMutex) = 100;
  int32_t mCurWBIdx GUARDED_BY(mMutex) = 0;      // white-balance index, or Kelvin above 999
  double mCurAperture GUARDED_BY(mMutex) = 0.0;  // f-number; 0 or less: unknown
  double mCurShutterTime GUARDED_BY(mMutex) = 0.01;  // seconds; negative: bulb
  QString mCurImgName GUARDED_BY(mMutex);  // object name of the image being transferred
  int32_t mCurHasSideCar GUARDED_BY(mMutex) = 0;
  bool mLiveView GUARDED_BY(mMutex) = false;
  // Made at the first start of live view and kept until the destructor, so
  // a callback may use it after reading the pointer.
  std::unique_ptr<tether::LiveFrameSender> mLiveFrames GUARDED_BY(mMutex);

  // Expires when the controller is destroyed; main-thread calls posted by
  // callbacks check it (main thread only).
  std::shared_ptr<int> mAlive = std::make_shared<int>(0);
};

#endif  // TETHER_QT_H_
