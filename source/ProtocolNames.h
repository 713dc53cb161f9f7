// The protocol's vocabulary: every command name, message name and payload key
// that crosses the task's stdin and stdout, spelt once. The task and every
// host built in this tree use these constants, so a misspelt name is a
// compile error rather than a message nobody answers. doc/protocol.md says
// what each one means; a test checks that it names every one of them.
#ifndef TETHER_SOURCE_PROTOCOL_NAMES_H_
#define TETHER_SOURCE_PROTOCOL_NAMES_H_

namespace tether::proto {

// Commands, host to task. Compared bytewise, case-sensitive.
inline constexpr char kListDevices[] = "listDevices";
inline constexpr char kGetDeviceInfo[] = "getDeviceInfo";
inline constexpr char kConnectDevice[] = "connectDevice";
inline constexpr char kDisconnectDevice[] = "disconnectDevice";
inline constexpr char kDoCapture[] = "doCapture";
inline constexpr char kDownloadThumbnail[] = "downloadThumbnail";
inline constexpr char kGetCaptureInfo[] = "getCaptureInfo";
inline constexpr char kStartDownload[] = "startDownload";
inline constexpr char kGetCameraSettings[] = "getCameraSettings";
inline constexpr char kShutdown[] = "shutdown";
// Added commands: each is always answered, with "ok".
inline constexpr char kGetCameraChoices[] = "getCameraChoices";
inline constexpr char kSetCameraSettings[] = "setCameraSettings";
inline constexpr char kStartLiveView[] = "startLiveView";
inline constexpr char kStopLiveView[] = "stopLiveView";

// Messages, task to host.
inline constexpr char kDeviceAdded[] = "deviceAdded";
inline constexpr char kDeviceRemoved[] = "deviceRemoved";
inline constexpr char kObjectWasAdded[] = "objectWasAdded";
inline constexpr char kThumbnailWasDownloaded[] = "thumbnailWasDownloaded";
inline constexpr char kFileDownloadComplete[] = "fileDownloadComplete";
inline constexpr char kOk[] = "ok";  // the reply to "getCameraSettings"
inline constexpr char kCameraSettingsChanged[] = "cameraSettingsChanged";
inline constexpr char kLiveViewFrame[] = "liveViewFrame";
inline constexpr char kLiveViewStopped[] = "liveViewStopped";

// Payload keys.
inline constexpr char kDeviceId[] = "device_id";    // deviceAdded, deviceRemoved
inline constexpr char kName[] = "name";             // deviceAdded
inline constexpr char kCaptureId[] = "capture_id";  // the three capture messages
inline constexpr char kHasSidecar[] = "has_sidecar";
inline constexpr char kFileName[] = "file_name";
inline constexpr char kImageOrientation[] = "image_orientation";
inline constexpr char kThumbnailData[] = "thumbnail_data";
inline constexpr char kFilePath[] = "file_path";
inline constexpr char kFileSize[] = "file_size";
inline constexpr char kIsoSpeed[] = "isoSpeed";  // the settings table
inline constexpr char kAperture[] = "aperture";
inline constexpr char kShutter[] = "shutter";
inline constexpr char kWhiteBalance[] = "whiteBalance";
inline constexpr char kChoices[] = "choices";        // getCameraChoices
inline constexpr char kReadOnly[] = "read_only";
inline constexpr char kKelvinMin[] = "kelvin_min";
inline constexpr char kKelvinMax[] = "kelvin_max";
inline constexpr char kSettings[] = "settings";      // setCameraSettings
inline constexpr char kRefused[] = "refused";
inline constexpr char kError[] = "error";            // any added command
inline constexpr char kLiveView[] = "live_view";     // startLiveView, stopLiveView
inline constexpr char kSequence[] = "sequence";      // liveViewFrame
inline constexpr char kFrameSize[] = "frame_size";
inline constexpr char kFrameData[] = "frame_data";
inline constexpr char kReason[] = "reason";          // liveViewStopped

// The same names as lists, for checks that must cover all of them.
inline constexpr const char* kCommandNames[] = {
    kListDevices,      kGetDeviceInfo, kConnectDevice, kDisconnectDevice,  kDoCapture,
    kDownloadThumbnail, kGetCaptureInfo, kStartDownload, kGetCameraSettings, kShutdown,
    kGetCameraChoices, kSetCameraSettings, kStartLiveView, kStopLiveView};
inline constexpr const char* kMessageNames[] = {
    kDeviceAdded,          kDeviceRemoved, kObjectWasAdded,        kThumbnailWasDownloaded,
    kFileDownloadComplete, kOk,            kCameraSettingsChanged, kLiveViewFrame,
    kLiveViewStopped};
inline constexpr const char* kPayloadKeys[] = {
    kDeviceId,  kName,     kCaptureId, kHasSidecar, kFileName, kImageOrientation, kThumbnailData,
    kFilePath,  kFileSize, kIsoSpeed,  kAperture,   kShutter,  kWhiteBalance,
    kChoices,   kReadOnly, kKelvinMin, kKelvinMax,  kSettings, kRefused,  kError,
    kLiveView,  kSequence, kFrameSize, kFrameData,  kReason};

// Why an added command, or one setting of "setCameraSettings", was not done.
inline constexpr char kNoCamera[] = "no camera";
inline constexpr char kNotSupported[] = "not supported";
inline constexpr char kNotAmongChoices[] = "not among the choices";
inline constexpr char kReadOnlyNow[] = "read-only in this mode";
inline constexpr char kCameraRefused[] = "camera refused";
inline constexpr char kNotConfirmed[] = "not confirmed";
inline constexpr char kNotASetting[] = "not a setting";

}  // namespace tether::proto

#endif  // TETHER_SOURCE_PROTOCOL_NAMES_H_
