"""The protocol's vocabulary, spelt once: command names, message names, payload keys."""

# Commands, host to task. Compared bytewise and case-sensitively by the task.
LIST_DEVICES = "listDevices"
GET_DEVICE_INFO = "getDeviceInfo"
CONNECT_DEVICE = "connectDevice"
DISCONNECT_DEVICE = "disconnectDevice"
DO_CAPTURE = "doCapture"
DOWNLOAD_THUMBNAIL = "downloadThumbnail"
GET_CAPTURE_INFO = "getCaptureInfo"
START_DOWNLOAD = "startDownload"
GET_CAMERA_SETTINGS = "getCameraSettings"
SHUTDOWN = "shutdown"
# Added commands; the task answers each with "ok".
GET_CAMERA_CHOICES = "getCameraChoices"
SET_CAMERA_SETTINGS = "setCameraSettings"
START_LIVE_VIEW = "startLiveView"
STOP_LIVE_VIEW = "stopLiveView"

# Messages, task to host.
DEVICE_ADDED = "deviceAdded"
DEVICE_REMOVED = "deviceRemoved"
OBJECT_WAS_ADDED = "objectWasAdded"
THUMBNAIL_WAS_DOWNLOADED = "thumbnailWasDownloaded"
FILE_DOWNLOAD_COMPLETE = "fileDownloadComplete"
OK = "ok"
CAMERA_SETTINGS_CHANGED = "cameraSettingsChanged"
LIVE_VIEW_FRAME = "liveViewFrame"
LIVE_VIEW_STOPPED = "liveViewStopped"

# Payload keys.
DEVICE_ID = "device_id"
NAME = "name"
CAPTURE_ID = "capture_id"
HAS_SIDECAR = "has_sidecar"
FILE_NAME = "file_name"
IMAGE_ORIENTATION = "image_orientation"
THUMBNAIL_DATA = "thumbnail_data"
FILE_PATH = "file_path"
FILE_SIZE = "file_size"
ISO_SPEED = "isoSpeed"
APERTURE = "aperture"
SHUTTER = "shutter"
WHITE_BALANCE = "whiteBalance"
CHOICES = "choices"
READ_ONLY = "read_only"
KELVIN_MIN = "kelvin_min"
KELVIN_MAX = "kelvin_max"
SETTINGS = "settings"
REFUSED = "refused"
ERROR = "error"
LIVE_VIEW = "live_view"
SEQUENCE = "sequence"
FRAME_SIZE = "frame_size"
FRAME_DATA = "frame_data"
REASON = "reason"

COMMAND_NAMES = (LIST_DEVICES, GET_DEVICE_INFO, CONNECT_DEVICE, DISCONNECT_DEVICE, DO_CAPTURE,
                 DOWNLOAD_THUMBNAIL, GET_CAPTURE_INFO, START_DOWNLOAD, GET_CAMERA_SETTINGS,
                 SHUTDOWN, GET_CAMERA_CHOICES, SET_CAMERA_SETTINGS, START_LIVE_VIEW, STOP_LIVE_VIEW)
MESSAGE_NAMES = (DEVICE_ADDED, DEVICE_REMOVED, OBJECT_WAS_ADDED, THUMBNAIL_WAS_DOWNLOADED,
                 FILE_DOWNLOAD_COMPLETE, OK, CAMERA_SETTINGS_CHANGED, LIVE_VIEW_FRAME,
                 LIVE_VIEW_STOPPED)
PAYLOAD_KEYS = (DEVICE_ID, NAME, CAPTURE_ID, HAS_SIDECAR, FILE_NAME, IMAGE_ORIENTATION,
                THUMBNAIL_DATA, FILE_PATH, FILE_SIZE, ISO_SPEED, APERTURE, SHUTTER, WHITE_BALANCE,
                CHOICES, READ_ONLY, KELVIN_MIN, KELVIN_MAX, SETTINGS, REFUSED, ERROR, LIVE_VIEW,
                SEQUENCE, FRAME_SIZE, FRAME_DATA, REASON)

# Why an added command, or one setting of "setCameraSettings", was not done.
NO_CAMERA = "no camera"
NOT_SUPPORTED = "not supported"
NOT_AMONG_CHOICES = "not among the choices"
READ_ONLY_NOW = "read-only in this mode"
CAMERA_REFUSED = "camera refused"
NOT_CONFIRMED = "not confirmed"
NOT_A_SETTING = "not a setting"
REASONS = (NO_CAMERA, NOT_SUPPORTED, NOT_AMONG_CHOICES, READ_ONLY_NOW, CAMERA_REFUSED,
           NOT_CONFIRMED, NOT_A_SETTING)

# The settings a host may set: the settings table's key for each keyword of
# Task.set_settings().
SETTING_KEYS = {"iso": ISO_SPEED, "aperture": APERTURE, "shutter": SHUTTER,
                "white_balance": WHITE_BALANCE}
