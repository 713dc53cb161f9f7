// PTP/IP framing and payload parsing on well-formed and malformed input.
#include "camera/simulator/ptpip/ptpip_packet.h"

#include <gtest/gtest.h>

#include "camera/simulator/ptpip/ptp_codes.h"
#include "camera/simulator/ptpip/ptp_data.h"

namespace krv_sim {
namespace ptp {
namespace {

std::vector<uint8_t> Frame(uint32_t type, const std::vector<uint8_t>& payload, int lengthDelta = 0) {
  DataWriter w;
  w.u32(static_cast<uint32_t>(8 + payload.size() + lengthDelta));
  w.u32(type);
  w.bytes(payload.data(), payload.size());
  return std::move(w.data());
}

TEST(PacketFramer, CutsPacketsFromAnyChunking) {
  std::vector<uint8_t> stream = Frame(kOperationRequest, {1, 0, 0, 0, 2, 0x10, 7, 0, 0, 0});
  const std::vector<uint8_t> second = Frame(kProbeRequest, {});
  stream.insert(stream.end(), second.begin(), second.end());
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{7}, stream.size()}) {
    PacketFramer framer(1024);
    std::vector<Packet> got;
    for (size_t i = 0; i < stream.size(); i += chunk) {
      framer.append(stream.data() + i, std::min(chunk, stream.size() - i));
      Packet p;
      while (framer.next(&p)) got.push_back(p);
    }
    ASSERT_EQ(got.size(), 2u) << "chunk " << chunk;
    EXPECT_EQ(got[0].type, kOperationRequest);
    EXPECT_EQ(got[0].payload.size(), 10u);
    EXPECT_EQ(got[1].type, kProbeRequest);
    EXPECT_TRUE(got[1].payload.empty());
    EXPECT_FALSE(framer.malformed());
    EXPECT_EQ(framer.pending(), 0u);
  }
}

TEST(PacketFramer, RefusesImpossibleLengthsForGood) {
  struct Case {
    const char* what;
    uint32_t length;
  } cases[] = {{"zero", 0}, {"shorter than the header", 7}, {"over the bound", 1025}, {"huge", 0xFFFFFFFF}};
  for (const Case& c : cases) {
    PacketFramer framer(1024);
    DataWriter w;
    w.u32(c.length);
    w.u32(kOperationRequest);
    framer.append(w.data().data(), w.data().size());
    Packet p;
    EXPECT_FALSE(framer.next(&p)) << c.what;
    EXPECT_TRUE(framer.malformed()) << c.what;
    const std::vector<uint8_t> good = Frame(kProbeRequest, {});
    framer.append(good.data(), good.size());
    EXPECT_FALSE(framer.next(&p)) << c.what << ": nothing after a malformed packet";
  }
}

TEST(PacketParsers, RefuseWrongShapes) {
  OperationRequest op;
  InitCommandRequest init;
  DataPacket data;
  uint32_t number;
  const std::vector<uint8_t> initName = {'h', 0, 'o', 0, 0, 0};
  std::vector<uint8_t> goodInit(16, 0xAB);
  goodInit.insert(goodInit.end(), initName.begin(), initName.end());
  goodInit.insert(goodInit.end(), {0, 0, 1, 0});
  std::vector<uint8_t> unterminated(16, 0);
  unterminated.insert(unterminated.end(), {'h', 0, 'o', 0, 0, 0, 1});

  struct Case {
    const char* what;
    Packet packet;
    bool ok;
  } cases[] = {
      {"request without parameters", {kOperationRequest, {1, 0, 0, 0, 2, 0x10, 7, 0, 0, 0}}, true},
      {"request with data phase 0", {kOperationRequest, std::vector<uint8_t>(30, 0)}, false},
      {"request, data phase 1, five parameters",
       {kOperationRequest, [] { std::vector<uint8_t> v(30, 0); v[0] = 1; return v; }()}, true},
      {"request with six parameters",
       {kOperationRequest, [] { std::vector<uint8_t> v(34, 0); v[0] = 1; return v; }()}, false},
      {"request with a partial parameter", {kOperationRequest, {1, 0, 0, 0, 2, 0x10, 7, 0, 0, 0, 1}}, false},
      {"request cut short", {kOperationRequest, {1, 0, 0, 0, 2, 0x10}}, false},
      {"request with data phase 3", {kOperationRequest, {3, 0, 0, 0, 2, 0x10, 7, 0, 0, 0}}, false},
      {"request of the wrong type", {kEvent, {1, 0, 0, 0, 2, 0x10, 7, 0, 0, 0}}, false},
      {"init command", {kInitCommandRequest, goodInit}, true},
      {"init command, name not terminated", {kInitCommandRequest, unterminated}, false},
      {"init command without GUID", {kInitCommandRequest, {0, 0, 0, 0}}, false},
      {"init event", {kInitEventRequest, {1, 0, 0, 0}}, true},
      {"init event too long", {kInitEventRequest, {1, 0, 0, 0, 0}}, false},
      {"start data", {kStartData, {7, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}}, true},
      {"start data with the extra word", {kStartData, std::vector<uint8_t>(16, 0)}, true},
      {"start data cut short", {kStartData, {7, 0, 0, 0, 2, 0}}, false},
      {"end data", {kEndData, {7, 0, 0, 0, 0x55}}, true},
      {"data without a transaction id", {kData, {7, 0}}, false},
  };
  for (const Case& c : cases) {
    bool ok = false;
    switch (c.packet.type) {
      case kOperationRequest: ok = ParseOperationRequest(c.packet, &op); break;
      case kInitCommandRequest: ok = ParseInitCommandRequest(c.packet, &init); break;
      case kInitEventRequest: ok = ParseInitEventRequest(c.packet, &number); break;
      case kEvent: ok = ParseOperationRequest(c.packet, &op); break;
      default: ok = ParseDataPacket(c.packet, &data); break;
    }
    EXPECT_EQ(ok, c.ok) << c.what;
  }
  ASSERT_TRUE(ParseInitCommandRequest({kInitCommandRequest, goodInit}, &init));
  EXPECT_EQ(init.name, "ho");
  EXPECT_EQ(init.version, 0x00010000u);
  const Packet end{kEndData, {7, 0, 0, 0, 0x55, 0x66}};  // data points into it
  ASSERT_TRUE(ParseDataPacket(end, &data));
  EXPECT_EQ(data.transactionId, 7u);
  ASSERT_EQ(data.size, 2u);
  EXPECT_EQ(data.data[1], 0x66);
}

TEST(PacketBuilders, MakeWhatTheParsersAndHostsRead) {
  // A response with two parameters: length, type, code, transaction, params.
  const std::vector<uint8_t> r = OperationResponse(kOk, 9, {1, 2});
  const std::vector<uint8_t> expected = {22, 0, 0, 0, 7, 0, 0, 0, 0x01, 0x20, 9, 0, 0, 0,
                                         1, 0, 0, 0, 2, 0, 0, 0};
  EXPECT_EQ(r, expected);
  const std::vector<uint8_t> start = StartDataPacket(9, 0x100000002ull);
  EXPECT_EQ(start, (std::vector<uint8_t>{20, 0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}));
  const std::vector<uint8_t> ack = InitCommandAck(3, {}, "C");
  // length, type 2, connection 3, 16-byte GUID, "C\0" in UCS-2, version 1.0
  ASSERT_EQ(ack.size(), 8u + 4 + 16 + 4 + 4);
  EXPECT_EQ(ack[4], 2);
  EXPECT_EQ(ack[8], 3);
  EXPECT_EQ(ack[28], 'C');
  EXPECT_EQ(ack[34], 1);  // major version, high half of 0x00010000
}

}  // namespace
}  // namespace ptp
}  // namespace krv_sim
