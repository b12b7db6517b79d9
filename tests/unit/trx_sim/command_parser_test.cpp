#include "tools/trx_sim/command_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One line per event, so a whole stream's outcome compares in one assertion.
std::string Describe(const std::vector<ParseEvent>& events, bool with_garbage = true) {
  std::string text;
  for (const ParseEvent& event : events) {
    switch (event.kind) {
      case ParseEventKind::kRead:
        text += "read " + std::to_string(event.address);
        break;
      case ParseEventKind::kWrite:
        text += "write " + std::to_string(event.address) + "=" + std::to_string(event.value);
        break;
      case ParseEventKind::kRejected:
        text += "rejected " + event.bytes;
        break;
      case ParseEventKind::kGarbage:
        if (!with_garbage) continue;
        text += "garbage " + event.bytes;
        break;
    }
    text += "|";
  }
  return text;
}

std::vector<ParseEvent> Feed(const std::string& stream, bool bytewise) {
  CommandParser parser;
  if (!bytewise) return FeedParser(parser, stream);
  std::vector<ParseEvent> all;
  for (char c : stream) {
    for (ParseEvent& event : FeedParser(parser, std::string(1, c))) all.push_back(event);
  }
  return all;
}

struct StreamCase {
  const char* stream;
  const char* events;
};

const StreamCase kStreams[] = {
    {"XL1000;", "read 0|"},
    {"XL2023;", "read 1023|"},
    {"XS1000 0;", "write 0=0|"},
    {"XS2023 255;", "write 1023=255|"},
    {"XS1500 42;XL1500;", "write 500=42|read 500|"},
    {"XL0999;XL2024;", "rejected XL0999;|rejected XL2024;|"},
    {"XS1000 256;XS1000 007;XS1000 00;",
     "rejected XS1000 256;|rejected XS1000 007;|rejected XS1000 00;|"},
    {"XS1000 1234;XL1001;", "garbage XS1000 1234;|read 1|"},
    {"##XL1000;", "garbage ##|read 0|"},
    {"XL10XL1001;", "garbage XL10|read 1|"},
    {"XXL1000;", "garbage X|read 0|"},
    {"XL1000;\r\n", "read 0|garbage \r\n|"},
    {"xl1000;XS1000;XS1000 ;XS1000  1;",
     "garbage xl1000;|garbage XS1000;|garbage XS1000 ;|garbage XS1000  1;|"},
};

TEST(CommandParser, RecognisesCommandsAndGarbageInWholeAndBytewiseFeeds) {
  for (const StreamCase& c : kStreams) {
    EXPECT_EQ(Describe(Feed(c.stream, false)), c.events) << c.stream;
    // Garbage runs may split differently byte by byte; the commands may not.
    EXPECT_EQ(Describe(Feed(c.stream, true), false), Describe(Feed(c.stream, false), false))
        << c.stream;
  }
}

TEST(CommandParser, KeepsAnUnfinishedCommandUntilItsLastByte) {
  CommandParser parser;
  EXPECT_TRUE(FeedParser(parser, "XS10").empty());
  EXPECT_TRUE(FeedParser(parser, "00 2").empty());
  EXPECT_TRUE(FeedParser(parser, "5").empty());
  const std::vector<ParseEvent> events = FeedParser(parser, "5;XL");
  EXPECT_EQ(Describe(events), "write 0=255|");
  ASSERT_EQ(events.size(), 1u);
  // The command ended with the second byte of this feed; that drives the paced receive time.
  EXPECT_EQ(events[0].end_in_feed, 2u);
  EXPECT_EQ(parser.pending, "XL");
}

}  // namespace
