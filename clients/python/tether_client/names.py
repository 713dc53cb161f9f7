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

# Messages, task to host.
DEVICE_ADDED = "deviceAdded"
DEVICE_REMOVED = "deviceRemoved"
OBJECT_WAS_ADDED = "objectWasAdded"
THUMBNAIL_WAS_DOWNLOADED = "thumbnailWasDownloaded"
FILE_DOWNLOAD_COMPLETE = "fileDownloadComplete"
OK = "ok"
CAMERA_SETTINGS_CHANGED = "cameraSettingsChanged"

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

COMMAND_NAMES = (LIST_DEVICES, GET_DEVICE_INFO, CONNECT_DEVICE, DISCONNECT_DEVICE, DO_CAPTURE,
                 DOWNLOAD_THUMBNAIL, GET_CAPTURE_INFO, START_DOWNLOAD, GET_CAMERA_SETTINGS,
                 SHUTDOWN)
MESSAGE_NAMES = (DEVICE_ADDED, DEVICE_REMOVED, OBJECT_WAS_ADDED, THUMBNAIL_WAS_DOWNLOADED,
                 FILE_DOWNLOAD_COMPLETE, OK, CAMERA_SETTINGS_CHANGED)
PAYLOAD_KEYS = (DEVICE_ID, NAME, CAPTURE_ID, HAS_SIDECAR, FILE_NAME, IMAGE_ORIENTATION,
                THUMBNAIL_DATA, FILE_PATH, FILE_SIZE, ISO_SPEED, APERTURE, SHUTTER, WHITE_BALANCE)
