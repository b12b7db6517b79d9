#include "link/trx_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "tests/unit/link/link_stand_ins.h"

namespace {

class TrxProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStandIns();
    Line.Open = true;
  }
};

struct CommandCase {
  std::string Wire;
  int Address;
  uint8_t Value;
  bool Read;
};

TEST_F(TrxProtocol, SendsTheCommandBytesAndNothingElse) {
  const CommandCase cases[] = {
      {"\x58\x4C\x31\x30\x30\x30\x3B", 0, 0, true},
      {"\x58\x4C\x32\x30\x32\x33\x3B", 1023, 0, true},
      {"\x58\x53\x31\x30\x30\x30\x20\x30\x3B", 0, 0, false},
      {"\x58\x53\x31\x35\x30\x30\x20\x34\x32\x3B", 500, 42, false},
      {"\x58\x53\x32\x30\x32\x33\x20\x32\x35\x35\x3B", 1023, 255, false},
      {"XS1007 100;", 7, 100, false},
  };
  AttachFakeTrx();
  for (const CommandCase& c : cases) {
    Line.Sent.clear();
    const bool answered =
        c.Read ? ReadSetting(c.Address).has_value() : WriteSetting(c.Address, c.Value);
    EXPECT_TRUE(answered) << c.Wire;
    ASSERT_EQ(Line.Sent.size(), 1u);
    EXPECT_EQ(Line.Sent[0], c.Wire);
  }
}

struct NumberCase {
  std::string Text;
  int64_t Number;
};

TEST(ParseNumber, ReadsSignBaseAndDigitsAndWrapsAround) {
  const NumberCase cases[] = {
      {"123", 123},
      {"  \t 7", 7},
      {"7  ", 7},
      {"4 2", 4},
      {"-01", -1},
      {"+12", 12},
      {"- 5", 0},
      {"+-5", 0},
      {"--1", 0},
      {"$FF", 255},
      {"$fF0", 4080},
      {"$G", 0},
      {"$", 0},
      {"-$10", -16},
      {"%11", 3},
      {"%102", 2},
      {"%2", 0},
      {"ABC", 0},
      {"", 0},
      {" ", 0},
      {"12a", 12},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", INT64_MIN},
      {"-9223372036854775808", INT64_MIN},
      {"18446744073709551615", -1},
      {"18446744073709551616", 0},
      {"$FFFFFFFFFFFFFFFF", -1},
      {"$10000000000000001", 1},
      {"99999999999999999999", static_cast<int64_t>(7766279631452241919u)},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(ParseNumber(c.Text), c.Number) << '"' << c.Text << '"';
  }
}

struct FieldCase {
  char Field[4];  // reply bytes 2, 3 and 4; a zero byte among them is part of the case
  uint8_t Stored;
};

TEST_F(TrxProtocol, StoresTheLowByteOfTheValueField) {
  const FieldCase cases[] = {
      {"\x31\x32\x33", 123}, {"\x30\x30\x37", 7},   {"\x20\x20\x37", 7},   {"\x37\x20\x20", 7},
      {"\x34\x20\x32", 4},   {"\x32\x35\x35", 255}, {"\x32\x35\x36", 0},   {"\x39\x39\x39", 231},
      {"\x2D\x30\x31", 255}, {"\x2B\x31\x32", 12},  {"\x24\x46\x46", 255}, {"\x25\x31\x31", 3},
      {"\x41\x42\x43", 0},   {"\x31\x00\x35", 15},  {"\x31\xB2\x33", 1},   {"\xB1\x32\x33", 0},
      {"\x00\x00\x37", 7},   {"\x20\x2D\x35", 251}, {"\xFF\xFF\xFF", 0},   {"\x00\x00\x00", 0},
  };
  for (const FieldCase& c : cases) {
    const std::string field(c.Field, 3);
    Line.Transceiver = [&field](const std::string&) { Arrive(2, "R:" + field + ";"); };
    const std::optional<uint8_t> value = ReadSetting(0);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, c.Stored) << ::testing::PrintToString(field);
    EXPECT_TRUE(Line.Queue.empty());
  }
}

struct WaitCase {
  const char* What;
  int32_t Expected;
  std::vector<FakeArrival> Arrivals;
  bool Ready;
  int Polls;
};

TEST_F(TrxProtocol, AwaitReplyWantsExactlyTheLengthWithin500Polls) {
  const WaitCase cases[] = {
      {"whole reply", 6, {{3, "abcdef"}}, true, 3},
      {"write reply", 4, {{1, "ok;\n"}}, true, 1},
      {"fragments", 6, {{2, "abc"}, {5, "de"}, {9, "f"}}, true, 9},
      {"nothing", 6, {}, false, 500},
      {"complete at the 499th poll", 6, {{499, "abcdef"}}, true, 499},
      {"complete at the 500th poll", 6, {{500, "abcdef"}}, false, 500},
      {"short", 6, {{1, "abcde"}}, false, 500},
      {"one byte too many", 6, {{1, "abcdefg"}}, false, 500},
      {"grows past the length between polls", 6, {{1, "abcd"}, {2, "efgh"}}, false, 500},
      {"read reply while a write reply is due", 4, {{1, "abcdef"}}, false, 500},
  };
  for (const WaitCase& c : cases) {
    ResetStandIns();
    Line.Open = true;
    Line.Pending = c.Arrivals;
    EXPECT_EQ(AwaitReply(c.Expected), c.Ready) << c.What;
    EXPECT_EQ(Line.Counts, c.Polls) << c.What;
    EXPECT_EQ(Line.Sleeps, std::vector<unsigned>(c.Polls, 1)) << c.What;
  }
}

TEST_F(TrxProtocol, SilentTransceiverTimesOutAndNothingIsRead) {
  EXPECT_FALSE(ReadSetting(0).has_value());
  EXPECT_FALSE(WriteSetting(0, 1));
  EXPECT_EQ(Line.Sent, (std::vector<std::string>{"XL1000;", "XS1000 1;"}));
  EXPECT_EQ(Line.Sleeps.size(), 1000u);
  EXPECT_TRUE(Line.ReadCounts.empty());
}

TEST_F(TrxProtocol, BytesBehindAReplyStayAndSpoilTheNextWait) {
  Arrive(2, "R:042;");
  Arrive(3, "!");
  Line.Transceiver = [](const std::string& command) {
    if (command == "XL1001;") {
      Arrive(2, "R:043;");
    }
  };
  EXPECT_EQ(ReadSetting(0), std::optional<uint8_t>(42));
  EXPECT_EQ(Line.ReadCounts, std::vector<int32_t>{6});
  EXPECT_FALSE(ReadSetting(1).has_value());
  EXPECT_EQ(Line.Queue.size(), 7u);
}

struct DrainCase {
  int Stray;
  uint64_t ArrivesAt;
};

TEST_F(TrxProtocol, DrainEmptiesTheQueueInPiecesThatFitRxBuffer) {
  // Bytes that land at the end of the settle time must be drained too.
  const DrainCase cases[] = {{0, 0}, {17, 100}, {40, 100}, {4000, 100}, {40, 20}};
  for (const DrainCase& c : cases) {
    ResetStandIns();
    Line.Open = true;
    Arrive(c.ArrivesAt, std::string(c.Stray, '\xAA'));
    DrainInput();
    EXPECT_EQ(Line.Sleeps, std::vector<unsigned>{100}) << c.Stray;
    EXPECT_TRUE(Line.Queue.empty() && Line.Pending.empty()) << c.Stray;
    for (int32_t count : Line.ReadCounts) {
      EXPECT_TRUE(count > 0 && count <= TrxBufferSize) << count;
    }
    EXPECT_EQ(std::accumulate(Line.ReadCounts.begin(), Line.ReadCounts.end(), 0), c.Stray);
  }
}

TEST_F(TrxProtocol, DrainOfALineThatNeverStopsEnds) {
  Line.BeforeCount = [] { Line.Queue.insert(Line.Queue.end(), 17, 0x55); };
  DrainInput();
  EXPECT_GT(Line.ReadCounts.size(), 100u);
  EXPECT_LT(Line.ReadCounts.size(), 100000u);
  EXPECT_FALSE(ReadSetting(0).has_value());
}

}  // namespace
