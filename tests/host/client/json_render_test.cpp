#include "host/client/JsonRender.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "host/client/Sha256.h"

namespace tether_host {
namespace {

TEST(JsonStringTest, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("say \"hi\" \\ bye"), "\"say \\\"hi\\\" \\\\ bye\"");
  EXPECT_EQ(JsonString("a\nb\tc\rd\be\ff"), "\"a\\nb\\tc\\rd\\be\\ff\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
  EXPECT_EQ(JsonString(""), "\"\"");
}

TEST(JsonStringTest, ValidUtf8PassesThroughAndInvalidBytesAreEscapedOneByOne) {
  EXPECT_EQ(JsonString("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
            "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"");
  EXPECT_EQ(JsonString("\xC2\x80 \xC2\x9B \xC2\xA0"), "\"\\u0080 \\u009b \xC2\xA0\"");  // C1 escaped
  EXPECT_EQ(JsonString("\xFF"), "\"\\u00ff\"");
  EXPECT_EQ(JsonString("\xC0\xAF"), "\"\\u00c0\\u00af\"");            // overlong '/'
  EXPECT_EQ(JsonString("x\xE2\x82"), "\"x\\u00e2\\u0082\"");          // cut short at the end
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\\u00ed\\u00a0\\u0080\"");  // a UTF-16 surrogate
  EXPECT_EQ(JsonString("\xF4\x90\x80\x80"), "\"\\u00f4\\u0090\\u0080\\u0080\"");  // > U+10FFFF
  // A bad byte does not swallow the valid character after it.
  EXPECT_EQ(JsonString("\xC3" "A\xC3\xA9"), "\"\\u00c3A\xC3\xA9\"");
}

TEST(JsonNumberTest, IntegersWithoutFractionOthersShortestAndExact) {
  EXPECT_EQ(JsonNumber(0), "0");
  EXPECT_EQ(JsonNumber(-3), "-3");
  EXPECT_EQ(JsonNumber(8201), "8201");
  EXPECT_EQ(JsonNumber(4294967295.0), "4294967295");
  EXPECT_EQ(JsonNumber(5.6), "5.6");
  EXPECT_EQ(JsonNumber(0.1), "0.1");
  EXPECT_EQ(JsonNumber(-0.25), "-0.25");
  for (double v : {5.6, 0.1, 1.0 / 3, 1e300, -2.5e-308, 9007199254740993.0, 123456789.125}) {
    const std::string text = JsonNumber(v);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    EXPECT_EQ(text.find_first_not_of("0123456789.-+e"), std::string::npos) << text;
  }
}

TEST(JsonNumberTest, NonFiniteNumbersAreNull) {
  EXPECT_EQ(JsonNumber(std::numeric_limits<double>::quiet_NaN()), "null");
  EXPECT_EQ(JsonNumber(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(JsonNumber(-std::numeric_limits<double>::infinity()), "null");
}

TEST(JsonDataTest, DataShowsSizeAndDigest) {
  // The FIPS 180-2 test vector for "abc".
  EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(DataSummaryJson("abc", 3),
            "{\"size\":3,\"sha256\":\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"}");
  EXPECT_EQ(DataSummaryJson("", 0, "/d/x \"1\".bin"),
            "{\"size\":0,\"sha256\":\"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\","
            "\"path\":\"/d/x \\\"1\\\".bin\"}");
}

TEST(JsonElementTest, TablesWithStringKeysAreObjectsInKeyOrder) {
  ZyLuaTETable table;
  table.Set("whiteBalance", new ZyLuaTEString("Daylight"));
  table.Set("aperture", new ZyLuaTEString("--"));
  table.Set("isoSpeed", new ZyLuaTENumber(400));
  auto* inner = new ZyLuaTETable();
  inner->Set("x", new ZyLuaTENil());
  table.Set("inner", inner);
  EXPECT_EQ(JsonElement(&table),
            "{\"aperture\":\"--\",\"inner\":{\"x\":null},\"isoSpeed\":400,\"whiteBalance\":\"Daylight\"}");
  ZyLuaTETable empty;
  EXPECT_EQ(JsonElement(&empty), "{}");
  EXPECT_EQ(JsonElement(nullptr), "null");
}

TEST(JsonElementTest, OtherKeysBecomeKeyValuePairsSoNothingCollides) {
  ZyLuaTETable table;
  table.Set(new ZyLuaTENumber(1), new ZyLuaTEString("number key"));
  table.Set("1", new ZyLuaTEString("string key"));
  EXPECT_EQ(JsonElement(&table), "[[1,\"number key\"],[\"1\",\"string key\"]]");
}

TEST(JsonElementTest, DataRendererGetsTheKeyItWasFoundUnder) {
  ZyLuaTETable table;
  char bytes[] = {1, 2, 3};
  table.Set("thumbnail_data", new ZyLuaTEData(bytes, 3));
  table.Set("capture_id", new ZyLuaTENumber(2));
  std::string seenKey;
  const std::string json = JsonElement(&table, [&](const ZyLuaTEData& d, const std::string& key) {
    seenKey = key;
    return "\"" + std::to_string(d.mLength) + " bytes\"";
  });
  EXPECT_EQ(seenKey, "thumbnail_data");
  EXPECT_EQ(json, "{\"capture_id\":2,\"thumbnail_data\":\"3 bytes\"}");
}

TEST(JsonMessageTest, OneLineWithIdNameAndPayload) {
  HostMessage m;
  m.id = 0;
  m.name = "deviceAdded";
  auto* t = new ZyLuaTETable();
  t->Set("device_id", new ZyLuaTENumber(8201));
  t->Set("name", new ZyLuaTEString("Orvak K1"));
  m.payload.reset(t);
  EXPECT_EQ(JsonMessage(m), "{\"id\":0,\"name\":\"deviceAdded\",\"payload\":{\"device_id\":8201,"
                            "\"name\":\"Orvak K1\"}}");
  m.id = -7;
  m.name = "ok\n";
  m.payload.reset(new ZyLuaTENil());
  EXPECT_EQ(JsonMessage(m), "{\"id\":-7,\"name\":\"ok\\n\",\"payload\":null}");
}

}  // namespace
}  // namespace tether_host
