// The PTP and PTP/IP numbers the simulated PTP/IP camera speaks: packet
// types, operation, response and event codes, device properties and data
// types. Values are those of the PTP 1.1 and PTP/IP standards.
#ifndef KRV_SIM_PTPIP_PTP_CODES_H_
#define KRV_SIM_PTPIP_PTP_CODES_H_

#include <cstdint>

namespace krv_sim {
namespace ptp {

// PTP/IP packet types (the second 32-bit word of every packet).
enum PacketType : uint32_t {
  kInitCommandRequest = 1,
  kInitCommandAck = 2,
  kInitEventRequest = 3,
  kInitEventAck = 4,
  kInitFail = 5,
  kOperationRequest = 6,
  kOperationResponse = 7,
  kEvent = 8,
  kStartData = 9,
  kData = 10,
  kCancel = 11,
  kEndData = 12,
  kProbeRequest = 13,
  kProbeResponse = 14,
};

// Data phase word of an operation request.
constexpr uint32_t kDataPhaseNoneOrIn = 1;
constexpr uint32_t kDataPhaseOut = 2;  // the host sends data

enum Operation : uint16_t {
  kGetDeviceInfo = 0x1001,
  kOpenSession = 0x1002,
  kCloseSession = 0x1003,
  kGetStorageIDs = 0x1004,
  kGetStorageInfo = 0x1005,
  kGetNumObjects = 0x1006,
  kGetObjectHandles = 0x1007,
  kGetObjectInfo = 0x1008,
  kGetObject = 0x1009,
  kGetThumb = 0x100A,
  kDeleteObject = 0x100B,
  kInitiateCapture = 0x100E,
  kGetDevicePropDesc = 0x1014,
  kGetDevicePropValue = 0x1015,
  kSetDevicePropValue = 0x1016,
  kGetPartialObject = 0x101B,
  kGetStreamInfo = 0x1024,
  kGetStream = 0x1025,
};

enum Response : uint16_t {
  kOk = 0x2001,
  kGeneralError = 0x2002,
  kSessionNotOpen = 0x2003,
  kInvalidTransactionId = 0x2004,
  kOperationNotSupported = 0x2005,
  kParameterNotSupported = 0x2006,
  kInvalidStorageId = 0x2008,
  kInvalidObjectHandle = 0x2009,
  kDevicePropNotSupported = 0x200A,
  kInvalidObjectFormatCode = 0x200B,
  kAccessDenied = 0x200F,
  kNoThumbnailPresent = 0x2010,
  kDeviceBusy = 0x2019,
  kInvalidParentObject = 0x201A,
  kInvalidDevicePropFormat = 0x201B,
  kInvalidDevicePropValue = 0x201C,
  kInvalidParameter = 0x201D,
  kSessionAlreadyOpen = 0x201E,
};

enum EventCode : uint16_t {
  kObjectAdded = 0x4002,
  kObjectRemoved = 0x4003,
  kDevicePropChanged = 0x4006,
  kCaptureComplete = 0x400D,
};

enum Property : uint16_t {
  kBatteryLevel = 0x5001,
  kWhiteBalance = 0x5005,
  kFNumber = 0x5007,
  kExposureTime = 0x500D,
  kExposureIndex = 0x500F,
  kSupportedStreams = 0x5020,
  kEnabledStreams = 0x5021,
  // Vendor range (no standard property holds a Kelvin value): the colour
  // temperature that white balance kColorTemperatureWb uses.
  kColorTemperature = 0xD001,
};

// The white-balance value (vendor range) meaning "the colour temperature set
// in kColorTemperature".
constexpr uint16_t kColorTemperatureWb = 0x8001;

enum DataType : uint16_t {
  kUint8 = 0x0002,
  kUint16 = 0x0004,
  kInt32 = 0x0005,
  kUint32 = 0x0006,
};

enum ObjectFormat : uint16_t {
  kFormatUndefined = 0x3000,
  kFormatExifJpeg = 0x3801,
  kFormatJfif = 0x3808,
  kFormatDng = 0x3811,
};

// The one storage the camera has: its memory card.
constexpr uint32_t kStorageId = 0x00010001;

}  // namespace ptp
}  // namespace krv_sim

#endif  // KRV_SIM_PTPIP_PTP_CODES_H_
