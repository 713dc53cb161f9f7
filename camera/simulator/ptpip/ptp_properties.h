// The device properties of the simulated PTP/IP camera, as one table: code,
// data type, control-socket name, the values the camera offers and its
// factory value. The camera keeps current values and read-only marks.
#ifndef KRV_SIM_PTPIP_PTP_PROPERTIES_H_
#define KRV_SIM_PTPIP_PTP_PROPERTIES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace krv_sim {
namespace ptp {

struct PropertySpec {
  uint16_t code;
  uint16_t type;        // kUint8, kUint16, kUint32
  const char* name;     // as the control socket's "dial" and "read-only" take it
  // Enumeration of allowed values; empty: a range min..max step 1 (range
  // non-empty) or no form at all.
  std::vector<int64_t> values;
  int64_t factory;
  int64_t rangeMin = 0, rangeMax = -1;
  bool readOnly = false;  // never settable by the host
  int64_t rangeStep = 1;
};

// Every property, in the order GetDeviceInfo lists them.
const std::vector<PropertySpec>& Properties();
// By code or by name (or "0x5005"); nullptr when unknown.
const PropertySpec* FindProperty(uint16_t code);
const PropertySpec* FindProperty(const std::string& nameOrCode);
// Whether `value` is one the property accepts.
bool AcceptsValue(const PropertySpec& spec, int64_t value);

// The PTP DevicePropDesc dataset.
std::vector<uint8_t> PropDescDataset(const PropertySpec& spec, int64_t current, bool settable);

}  // namespace ptp
}  // namespace krv_sim

#endif  // KRV_SIM_PTPIP_PTP_PROPERTIES_H_
