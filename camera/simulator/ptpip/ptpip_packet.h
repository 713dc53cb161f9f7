// PTP/IP framing: every packet is a 32-bit little-endian length (of the
// whole packet, header included), a 32-bit type and a payload. The framer
// cuts a byte stream from the peer into packets and refuses malformed ones;
// the parse functions check each payload's shape; the builders make what the
// camera sends. Format: README.md beside this file.
#ifndef KRV_SIM_PTPIP_PTPIP_PACKET_H_
#define KRV_SIM_PTPIP_PTPIP_PACKET_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace krv_sim {
namespace ptp {

struct Packet {
  uint32_t type = 0;
  std::vector<uint8_t> payload;  // after the 8-byte header
};

// Cuts packets out of received bytes. A packet shorter than its header or
// longer than `maxPacket` makes the stream malformed for good: the
// connection is to be closed.
class PacketFramer {
 public:
  explicit PacketFramer(size_t maxPacket) : mMaxPacket(maxPacket) {}

  void append(const uint8_t* data, size_t size) { mPending.insert(mPending.end(), data, data + size); }
  // The next complete packet into *packet: true. False when none is complete
  // yet or the stream is malformed (see malformed()).
  bool next(Packet* packet);
  bool malformed() const { return mMalformed; }
  // Bytes received but not yet returned as packets.
  size_t pending() const { return mPending.size(); }

 private:
  const size_t mMaxPacket;
  std::vector<uint8_t> mPending;
  bool mMalformed = false;
};

struct InitCommandRequest {
  std::array<uint8_t, 16> guid{};
  std::string name;  // the host's friendly name, ASCII (other characters as '?')
  uint32_t version = 0;
};

struct OperationRequest {
  uint32_t dataPhase = 0;
  uint16_t code = 0;
  uint32_t transactionId = 0;
  std::vector<uint32_t> params;  // 0..5
};

struct DataPacket {
  uint32_t transactionId = 0;
  uint64_t totalLength = 0;         // kStartData only
  const uint8_t* data = nullptr;    // kData/kEndData: into the packet's payload
  size_t size = 0;
};

// Each false for a payload of the wrong shape.
bool ParseInitCommandRequest(const Packet& p, InitCommandRequest* out);
bool ParseInitEventRequest(const Packet& p, uint32_t* connectionNumber);
bool ParseOperationRequest(const Packet& p, OperationRequest* out);
bool ParseDataPacket(const Packet& p, DataPacket* out);  // kStartData, kData, kEndData

// Whole packets, header included.
std::vector<uint8_t> InitCommandAck(uint32_t connectionNumber, const std::array<uint8_t, 16>& guid,
                                    const std::string& name);
std::vector<uint8_t> InitEventAck();
std::vector<uint8_t> InitFail(uint32_t reason);
std::vector<uint8_t> OperationResponse(uint16_t code, uint32_t transactionId,
                                       const std::vector<uint32_t>& params);
std::vector<uint8_t> EventPacket(uint16_t code, uint32_t transactionId,
                                 const std::vector<uint32_t>& params);
std::vector<uint8_t> StartDataPacket(uint32_t transactionId, uint64_t totalLength);
// The header and transaction id of a kData or kEndData packet whose payload
// of `size` bytes follows (sent separately, so large objects are not copied).
std::vector<uint8_t> DataHeader(uint32_t type, uint32_t transactionId, size_t size);

}  // namespace ptp
}  // namespace krv_sim

#endif  // KRV_SIM_PTPIP_PTPIP_PACKET_H_
