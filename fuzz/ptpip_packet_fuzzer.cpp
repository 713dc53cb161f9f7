// The simulated PTP/IP camera's framing and packet parsing under arbitrary
// bytes from a host: any length word, any type, any payload, in arbitrary
// chunkings. Parsed requests and data are read back, so an out-of-bounds view
// shows under ASan.
#include <cstddef>
#include <cstdint>

#include "camera/simulator/ptpip/ptp_codes.h"
#include "camera/simulator/ptpip/ptp_data.h"
#include "camera/simulator/ptpip/ptpip_packet.h"

using namespace krv_sim::ptp;  // NOLINT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the chunk size, as recv() might cut the stream.
  const size_t chunk = 1 + data[0] % 64;
  PacketFramer framer(4096);
  uint64_t sum = 0;
  for (size_t i = 1; i < size; i += chunk) {
    framer.append(data + i, std::min(chunk, size - i));
    Packet p;
    while (framer.next(&p)) {
      OperationRequest op;
      InitCommandRequest init;
      DataPacket d;
      uint32_t number;
      if (ParseOperationRequest(p, &op)) {
        for (uint32_t v : op.params) sum += v;
      } else if (ParseInitCommandRequest(p, &init)) {
        sum += init.name.size();
      } else if (ParseInitEventRequest(p, &number)) {
        sum += number;
      } else if (ParseDataPacket(p, &d)) {
        for (size_t k = 0; k < d.size; ++k) sum += d.data[k];
        DataReader r(d.data, d.size);
        int64_t v;
        while (r.value(kUint16, &v)) sum += static_cast<uint64_t>(v);
      }
    }
    if (framer.malformed()) break;
  }
  return static_cast<int>(sum & 0);
}
