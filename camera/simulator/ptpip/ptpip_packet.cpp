#include "camera/simulator/ptpip/ptpip_packet.h"

#include "camera/simulator/ptpip/ptp_codes.h"
#include "camera/simulator/ptpip/ptp_data.h"

namespace krv_sim {
namespace ptp {
namespace {

constexpr size_t kHeader = 8;
constexpr size_t kMaxParams = 5;

std::vector<uint8_t> Finish(uint32_t type, DataWriter body) {
  DataWriter w;
  w.u32(static_cast<uint32_t>(kHeader + body.data().size()));
  w.u32(type);
  w.bytes(body.data().data(), body.data().size());
  return std::move(w.data());
}

// A container's code, transaction id and up to five parameters.
std::vector<uint8_t> Container(uint32_t type, uint16_t code, uint32_t transactionId,
                               const std::vector<uint32_t>& params) {
  DataWriter body;
  body.u16(code);
  body.u32(transactionId);
  for (size_t i = 0; i < params.size() && i < kMaxParams; ++i) body.u32(params[i]);
  return Finish(type, std::move(body));
}

}  // namespace

bool PacketFramer::next(Packet* packet) {
  if (mMalformed || mPending.size() < kHeader) return false;
  DataReader r(mPending.data(), mPending.size());
  uint32_t length, type;
  r.u32(&length);
  r.u32(&type);
  if (length < kHeader || length > mMaxPacket) {
    mMalformed = true;
    return false;
  }
  if (mPending.size() < length) return false;
  packet->type = type;
  packet->payload.assign(mPending.begin() + kHeader, mPending.begin() + length);
  mPending.erase(mPending.begin(), mPending.begin() + length);
  return true;
}

bool ParseInitCommandRequest(const Packet& p, InitCommandRequest* out) {
  // GUID, a NUL-terminated UCS-2 name, the protocol version.
  if (p.type != kInitCommandRequest || p.payload.size() < 16 + 2 + 4) return false;
  std::copy(p.payload.begin(), p.payload.begin() + 16, out->guid.begin());
  DataReader r(p.payload.data() + 16, p.payload.size() - 16);
  out->name.clear();
  for (;;) {
    uint16_t c;
    if (!r.u16(&c)) return false;
    if (c == 0) break;
    out->name.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return r.u32(&out->version) && r.remaining() == 0;
}

bool ParseInitEventRequest(const Packet& p, uint32_t* connectionNumber) {
  if (p.type != kInitEventRequest || p.payload.size() != 4) return false;
  DataReader r(p.payload.data(), p.payload.size());
  return r.u32(connectionNumber);
}

bool ParseOperationRequest(const Packet& p, OperationRequest* out) {
  // Data phase, code, transaction id, then whole parameters only.
  const size_t fixed = 4 + 2 + 4;
  if (p.type != kOperationRequest || p.payload.size() < fixed ||
      (p.payload.size() - fixed) % 4 != 0 || (p.payload.size() - fixed) / 4 > kMaxParams) {
    return false;
  }
  DataReader r(p.payload.data(), p.payload.size());
  r.u32(&out->dataPhase);
  r.u16(&out->code);
  r.u32(&out->transactionId);
  out->params.clear();
  uint32_t v;
  while (r.u32(&v)) out->params.push_back(v);
  return out->dataPhase == kDataPhaseNoneOrIn || out->dataPhase == kDataPhaseOut;
}

bool ParseDataPacket(const Packet& p, DataPacket* out) {
  DataReader r(p.payload.data(), p.payload.size());
  if (!r.u32(&out->transactionId)) return false;
  if (p.type == kStartData) {
    // A 64-bit length; some hosts add 4 more bytes, which say nothing.
    return r.u64(&out->totalLength) && (r.remaining() == 0 || r.remaining() == 4);
  }
  if (p.type != kData && p.type != kEndData) return false;
  out->data = p.payload.data() + 4;
  out->size = p.payload.size() - 4;
  return true;
}

std::vector<uint8_t> InitCommandAck(uint32_t connectionNumber, const std::array<uint8_t, 16>& guid,
                                    const std::string& name) {
  DataWriter body;
  body.u32(connectionNumber);
  body.bytes(guid.data(), guid.size());
  for (char c : name) body.u16(static_cast<uint8_t>(c) & 0x7F);
  body.u16(0);
  body.u32(0x00010000);  // protocol version 1.0
  return Finish(kInitCommandAck, std::move(body));
}

std::vector<uint8_t> InitEventAck() { return Finish(kInitEventAck, DataWriter()); }

std::vector<uint8_t> InitFail(uint32_t reason) {
  DataWriter body;
  body.u32(reason);
  return Finish(kInitFail, std::move(body));
}

std::vector<uint8_t> OperationResponse(uint16_t code, uint32_t transactionId,
                                       const std::vector<uint32_t>& params) {
  return Container(kOperationResponse, code, transactionId, params);
}

std::vector<uint8_t> EventPacket(uint16_t code, uint32_t transactionId,
                                 const std::vector<uint32_t>& params) {
  return Container(kEvent, code, transactionId, params);
}

std::vector<uint8_t> StartDataPacket(uint32_t transactionId, uint64_t totalLength) {
  DataWriter body;
  body.u32(transactionId);
  body.u64(totalLength);
  return Finish(kStartData, std::move(body));
}

std::vector<uint8_t> DataHeader(uint32_t type, uint32_t transactionId, size_t size) {
  DataWriter w;
  w.u32(static_cast<uint32_t>(kHeader + 4 + size));
  w.u32(type);
  w.u32(transactionId);
  return std::move(w.data());
}

}  // namespace ptp
}  // namespace krv_sim
