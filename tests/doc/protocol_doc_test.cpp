// doc/protocol.md against the code: every hex example is exactly what the
// task's encoder writes for the value in its caption and what its decoder
// reads back, and every command name, message name and payload key is
// described.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "source/ProtocolNames.h"
#include "source/ZyLuaTableMarshalling.h"
#include "source/mac_source/ZyRCMessageAccumulator.h"
#include "tests/doc/value_notation.h"

namespace tether_doc {
namespace {

std::string DocText() {
  std::ifstream in(TETHER_PROTOCOL_DOC);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct HexExample {
  int line = 0;         // of the caption, 1-based
  std::string caption;  // the value in the doc's notation
  std::string bytes;
};

// The ```hex blocks: a caption line, then hex pairs, each line's comment
// starting at ';'.
std::vector<HexExample> HexExamples(const std::string& doc) {
  std::vector<HexExample> examples;
  std::istringstream in(doc);
  std::string line;
  HexExample* open = nullptr;
  for (int number = 1; std::getline(in, line); ++number) {
    if (open == nullptr) {
      if (line == "```hex") {
        examples.emplace_back();
        open = &examples.back();
        open->line = number + 1;
      }
    } else if (line == "```") {
      open = nullptr;
    } else if (open->caption.empty()) {
      open->caption = line;
    } else {
      open->bytes += ParseHexBytes(line.substr(0, line.find(';')));
    }
  }
  return examples;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char pair[4];
  for (unsigned char c : bytes) {
    std::snprintf(pair, sizeof pair, "%02X ", c);
    out += pair;
  }
  return out;
}

std::string Encode(const ZyLuaTE& element) {
  std::ostringstream out;
  element.writeToStream(out);
  return out.str();
}

// Decodes `bytes` as the task reads an element; it must take all of them.
std::string DecodedAgain(const std::string& bytes) {
  std::istringstream in(bytes);
  std::unique_ptr<ZyLuaTE> element(ZyLuaTE::createFromStream(in));
  if (!element) return "(unrecognised tag)";
  if (in.tellg() != static_cast<std::streamoff>(bytes.size())) return "(bytes left over)";
  return Encode(*element);
}

// Feeds `bytes` to the task's inbound side; it must form exactly one message
// carrying the caption's id, name and payload.
void ExpectReadAsFrame(const std::string& bytes, const NotatedValue& expected) {
  ZyRCMessageAccumulator accumulator(nullptr);
  accumulator.formMessagesWithData(bytes.data(), bytes.size());
  CRCMessage* message = accumulator.getNextMessage();
  ASSERT_NE(message, nullptr) << "no message formed";
  EXPECT_EQ(accumulator.getNextMessage(), nullptr) << "more than one message formed";
  EXPECT_EQ(message->messageId, expected.id);
  EXPECT_EQ(message->messageLength, static_cast<int32_t>(bytes.size()) - 4);
  ASSERT_NE(message->messageName, nullptr);
  ASSERT_NE(message->messageData, nullptr);
  EXPECT_EQ(Hex(Encode(*message->messageName)), Hex(Encode(*expected.name)));
  EXPECT_EQ(Hex(Encode(*message->messageData)), Hex(Encode(*expected.element)));
  ZyDeleteMessage(message);
}

class ProtocolDoc : public ::testing::Test {
 protected:
  void SetUp() override {
    // The task's output side logs each frame it writes.
    zy::SetLogSink([](std::string_view) {});
    doc = DocText();
    ASSERT_FALSE(doc.empty()) << "cannot read " << TETHER_PROTOCOL_DOC;
  }
  void TearDown() override { zy::SetLogSink({}); }
  std::string doc;
};

TEST_F(ProtocolDoc, HexExamplesAreWhatTheTaskWritesAndReads) {
  const std::vector<HexExample> examples = HexExamples(doc);
  // The worked examples the document promises, at the least.
  ASSERT_GE(examples.size(), 5u);
  for (const HexExample& example : examples) {
    SCOPED_TRACE("doc/protocol.md:" + std::to_string(example.line) + ": " + example.caption);
    NotatedValue value;
    ASSERT_NO_THROW(value = ParseNotation(example.caption));
    ASSERT_FALSE(example.bytes.empty());
    EXPECT_EQ(Hex(example.bytes), Hex(EncodeAsTask(value))) << "the doc's bytes, then the task's";
    if (value.isFrame) {
      ExpectReadAsFrame(example.bytes, value);
    } else {
      EXPECT_EQ(Hex(DecodedAgain(example.bytes)), Hex(example.bytes));
    }
  }
}

TEST_F(ProtocolDoc, EveryNameAndKeyIsDescribed) {
  std::vector<const char*> names;
  names.insert(names.end(), std::begin(tether::proto::kCommandNames),
               std::end(tether::proto::kCommandNames));
  names.insert(names.end(), std::begin(tether::proto::kMessageNames),
               std::end(tether::proto::kMessageNames));
  names.insert(names.end(), std::begin(tether::proto::kPayloadKeys),
               std::end(tether::proto::kPayloadKeys));
  for (const char* name : names) {
    // Quoted, as the document writes every name and key.
    EXPECT_NE(doc.find("\"" + std::string(name) + "\""), std::string::npos)
        << name << " is not in doc/protocol.md";
  }
}

}  // namespace
}  // namespace tether_doc
