#include "link/transfer_jobs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "settings/settings_image.h"
#include "tests/unit/link/link_stand_ins.h"

namespace {

constexpr uint8_t SpareByte = 0x5A;

using Job = void (*)();

struct JobCase {
  const char* Name;
  Job Run;
};

const JobCase BothJobs[] = {{"ReadJob", ReadJob}, {"WriteJob", WriteJob}};

class TransferJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStandIns();
    AttachFakeTrx();
    for (int a = 0; a < SettingsCount; ++a) {
      Trx.Memory[a] = static_cast<uint8_t>(a * 7 + 3);
      SettingsImage[a] = static_cast<uint8_t>(~Trx.Memory[a]);
    }
    SettingsImage[SettingsCount] = SpareByte;
    std::copy_n(SettingsImage.begin(), SettingsCount, ImageBefore);
  }

  bool ImageUnchanged() const {
    return std::equal(ImageBefore, ImageBefore + SettingsCount, SettingsImage.begin()) &&
           SettingsImage[SettingsCount] == SpareByte;
  }

  uint8_t ImageBefore[SettingsCount] = {};
};

// The effects of a job on COM1 whose exchanges for addresses 0 to done - 1 succeeded.
std::vector<std::string> Started(int done) {
  std::vector<std::string> effects = {"controls off", "open COM1"};
  for (int a = 0; a < done; ++a) {
    effects.push_back("progress " + std::to_string(a / 10));
  }
  return effects;
}

std::vector<std::string> Then(std::vector<std::string> effects,
                              std::initializer_list<std::string> more) {
  effects.insert(effects.end(), more);
  return effects;
}

struct NoPortCase {
  std::wstring Selected;
  std::string Name;
};

TEST_F(TransferJobs, PortNotOpenedShowsTheBoxThenLogsTheName) {
  const NoPortCase cases[] = {{L"", ""}, {L"COM3", "COM3"}};
  for (const JobCase& job : BothJobs) {
    for (const NoPortCase& c : cases) {
      ResetStandIns();
      SelectedPort = c.Selected;
      Line.PortOpens = [](const std::wstring&) { return false; };
      job.Run();
      const std::vector<std::string> expected = {
          "controls off",         "open " + c.Name,
          "box Can't open port!", "log  Can't open port: " + c.Name,
          "controls on",          "progress 0"};
      EXPECT_EQ(Effects, expected) << job.Name;
      EXPECT_TRUE(Line.Sleeps.empty()) << job.Name << ": no settle time without a port";
      EXPECT_TRUE(ImageUnchanged()) << job.Name;
    }
  }
}

TEST_F(TransferJobs, SilentTransceiverTimesOutAtTheFirstAddress) {
  for (const JobCase& job : BothJobs) {
    ResetStandIns();
    job.Run();
    EXPECT_EQ(Effects, Then(Started(0), {"box TRX not responding!", "log  TRX not responding!",
                                         "close", "controls on", "progress 0"}))
        << job.Name;
    std::vector<unsigned> sleeps(501, 1);
    sleeps[0] = 100;
    EXPECT_EQ(Line.Sleeps, sleeps) << job.Name;
    EXPECT_EQ(Line.Sent.size(), 1u) << job.Name;
    EXPECT_FALSE(Line.Open) << job.Name;
    EXPECT_TRUE(ImageUnchanged()) << job.Name;
  }
}

TEST_F(TransferJobs, ReadStoppedAt600KeepsTheOldTail) {
  Trx.SilentFrom = 600;
  ReadJob();
  EXPECT_EQ(Effects, Then(Started(600), {"box TRX not responding!", "log  TRX not responding!",
                                         "close", "controls on", "progress 0"}));
  EXPECT_EQ(Effects[Effects.size() - 6], "progress 59");
  for (int a = 0; a < SettingsCount; ++a) {
    ASSERT_EQ(SettingsImage[a], a < 600 ? Trx.Memory[a] : ImageBefore[a]) << "address " << a;
  }
  EXPECT_EQ(SettingsImage[SettingsCount], SpareByte);
}

TEST_F(TransferJobs, WriteStoppedAt600HasSentUpToThatAddress) {
  Trx.SilentFrom = 600;
  WriteJob();
  ASSERT_EQ(Line.Sent.size(), 601u);
  EXPECT_EQ(Line.Sent.back(), "XS1600 " + std::to_string(SettingsImage[600]) + ";");
  EXPECT_EQ(Effects, Then(Started(600), {"box TRX not responding!", "log  TRX not responding!",
                                         "close", "controls on", "progress 0"}));
}

TEST_F(TransferJobs, CompletedReadFillsTheImageAfterAStrayBurst) {
  Arrive(30, std::string(40, '#'));
  ReadJob();
  const std::vector<std::string> effects = Started(SettingsCount);
  EXPECT_EQ(effects.back(), "progress 102");
  EXPECT_EQ(Effects, Then(effects, {"close", "log TRX reading!", "controls on", "progress 0"}));
  EXPECT_TRUE(std::equal(Trx.Memory, Trx.Memory + SettingsCount, SettingsImage.begin()));
  EXPECT_EQ(SettingsImage[SettingsCount], SpareByte);
}

TEST_F(TransferJobs, CompletedWriteSendsEveryImageByte) {
  WriteJob();
  ASSERT_EQ(Line.Sent.size(), 1024u);
  for (int a = 0; a < SettingsCount; ++a) {
    ASSERT_EQ(Line.Sent[a],
              "XS" + std::to_string(1000 + a) + " " + std::to_string(ImageBefore[a]) + ";");
  }
  EXPECT_TRUE(std::equal(ImageBefore, ImageBefore + SettingsCount, Trx.Memory));
  EXPECT_TRUE(ImageUnchanged());
  EXPECT_EQ(Effects, Then(Started(SettingsCount),
                          {"close", "log TRX writing!", "controls on", "progress 0"}));
}

}  // namespace
