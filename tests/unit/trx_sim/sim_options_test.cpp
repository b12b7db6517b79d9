#include "tools/trx_sim/sim_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool Parse(std::vector<const char*> args, SimOptions* options, std::string* error) {
  args.insert(args.begin(), "trx_sim");
  return ParseSimOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(SimOptions, ReadsValuedAndRepeatedOptions) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--paced", "--field", "5=2D3031", "--field", "1023=b13233", "--field-all",
                     "414243", "--delay-at", "7:600", "--delay-at", "8:0", "--flood-at", "3:40",
                     "--stop-at", "1024", "--pattern", "mix", "--seed", "18446744073709551615"},
                    &o, &error))
      << error;
  EXPECT_TRUE(o.paced);
  EXPECT_EQ(o.fields.at(5), (ValueField{0x2D, 0x30, 0x31}));
  EXPECT_EQ(o.fields.at(1023), (ValueField{0xB1, 0x32, 0x33}));
  EXPECT_EQ(*o.field_all, (ValueField{0x41, 0x42, 0x43}));
  EXPECT_EQ(o.delay_at.at(7), 600);
  EXPECT_EQ(o.delay_at.at(8), 0);
  EXPECT_EQ(o.flood_at.at(3), 40);
  EXPECT_EQ(o.stop_at, 1024);
  EXPECT_EQ(o.pattern, "mix");
  EXPECT_EQ(o.seed, 18446744073709551615u);
}

TEST(SimOptions, RefusesBadArguments) {
  const std::vector<std::vector<const char*>> bad = {
      {"--bogus"},
      {"--stop-at"},
      {"--stop-at", "1025"},
      {"--stop-at", "-1"},
      {"--stop-at", "12x"},
      {"--pattern", "sine"},
      {"--field", "5=2D30"},
      {"--field", "5=2D30313"},
      {"--field", "5=2D30G1"},
      {"--field", "1024=303030"},
      {"--field", "303030"},
      {"--field-all", "+1+2+3"},
      {"--delay-at", "5"},
      {"--delay-at", "5:-1"},
      {"--drop-at", "1024"},
      {"--flood-at", ":3"},
      {"--memory", "m.bin", "--pattern", "zero"},
  };
  for (const auto& args : bad) {
    SimOptions o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

}  // namespace
