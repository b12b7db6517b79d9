// Runs the simulator binary and talks to it over its pty, as the program does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A private folder for one test's files, removed with everything in it.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/trx_sim_test.XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
  }
  ~TempDir() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
  std::string File(const char* name) const { return path + "/" + name; }
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads exactly `count` bytes unless `timeout_ms` passes first; never more than asked.
std::string ReadBytes(int fd, std::size_t count, int timeout_ms) {
  std::string got;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (got.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

bool QuietFor(int fd, int ms) {
  pollfd pfd{fd, POLLIN, 0};
  return poll(&pfd, 1, ms) == 0;
}

void Send(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// One simulator process with its stdout and a client end of its pty; killed if still running.
struct Sim {
  pid_t pid = -1;
  int pidfd = -1;
  int out = -1;
  int line = -1;
  std::string pty;

  ~Sim() {
    if (line >= 0) close(line);
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (pidfd >= 0) close(pidfd);
    if (out >= 0) close(out);
  }

  bool Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string program = TRX_SIM_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    out = pipe_fds[0];
    if (rc != 0) {
      pid = -1;
      return false;
    }
    pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    return pidfd >= 0;
  }

  // The next line the simulator prints, or "" after `timeout_ms`.
  std::string OutputLine(int timeout_ms = 10000) {
    std::string text;
    for (;;) {
      const std::string c = ReadBytes(out, 1, timeout_ms);
      if (c.empty()) return "";
      if (c == "\n") return text;
      text += c;
    }
  }

  // Starts it and opens the pty as the program would.
  bool Start(const std::vector<std::string>& args) {
    if (!Spawn(args)) return false;
    const std::string first = OutputLine();
    if (first.rfind("PTY ", 0) != 0) return false;
    pty = first.substr(4);
    line = open(pty.c_str(), O_RDWR | O_NOCTTY);
    return line >= 0;
  }

  // Exit status, or -1 if it has not ended within the limit.
  int Wait(int timeout_ms = 10000) {
    pollfd pfd{pidfd, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) != 1) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int Stop() {
    kill(pid, SIGTERM);
    return Wait();
  }
};

std::string Exchange(Sim& sim, const std::string& command, std::size_t reply_length) {
  Send(sim.line, command);
  return ReadBytes(sim.line, reply_length, 2000);
}

TEST(TrxSim, ReadReplyCarriesTheStartPatternInBytesTwoToFour) {
  struct Case {
    const char* pattern;
    const char* reply_300;   // address 300
    const char* reply_1023;  // address 1023
  };
  const Case cases[] = {{"zero", "V:000;", "V:000;"},
                        {"ff", "V:255;", "V:255;"},
                        {"ramp", "V:044;", "V:255;"},
                        {"mix", "V:055;", "V:252;"}};
  for (const Case& c : cases) {
    Sim sim;
    ASSERT_TRUE(sim.Start({"--pattern", c.pattern})) << c.pattern;
    EXPECT_EQ(Exchange(sim, "XL1300;", 6), c.reply_300) << c.pattern;
    EXPECT_EQ(Exchange(sim, "XL2023;", 6), c.reply_1023) << c.pattern;
    EXPECT_TRUE(QuietFor(sim.line, 50)) << "nothing follows a reply";
    EXPECT_EQ(sim.Stop(), 0);
  }
}

TEST(TrxSim, WritesAreStoredAndDumpedOnRequestAndAtExit) {
  TempDir dir;
  std::string memory(1024, '\0');
  for (int i = 0; i < 1024; ++i) memory[i] = static_cast<char>(i * 3);
  std::ofstream(dir.File("start.bin"), std::ios::binary) << memory;

  Sim sim;
  ASSERT_TRUE(sim.Start({"--memory", dir.File("start.bin"), "--dump", dir.File("dump.bin"),
                         "--record", dir.File("record.txt")}));
  EXPECT_EQ(Exchange(sim, "XS1000 7;", 4), "OK;\r");
  EXPECT_EQ(Exchange(sim, "XS2023 255;", 4), "OK;\r");
  EXPECT_EQ(Exchange(sim, "XS1500 0;", 4), "OK;\r");
  // Refused commands get no answer and change nothing.
  Send(sim.line, "XS1001 256;XS1002 07;XL2024;");
  EXPECT_TRUE(QuietFor(sim.line, 200));
  EXPECT_EQ(Exchange(sim, "XL1000;", 6), "V:007;");

  memory[0] = 7;
  memory[1023] = static_cast<char>(255);
  memory[500] = 0;
  kill(sim.pid, SIGUSR2);
  EXPECT_EQ(sim.OutputLine(), "DUMPED");
  EXPECT_EQ(ReadFile(dir.File("dump.bin")), memory);

  EXPECT_EQ(Exchange(sim, "XS1001 1;", 4), "OK;\r");
  memory[1] = 1;
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_EQ(ReadFile(dir.File("dump.bin")), memory);

  const std::string record = ReadFile(dir.File("record.txt"));
  EXPECT_NE(record.find(" RX 5853313030302037"), std::string::npos) << record;
  EXPECT_NE(record.find(" CMD XS1000 7;\n"), std::string::npos) << record;
  EXPECT_NE(record.find(" TX 4F4B3B0D\n"), std::string::npos) << record;
  EXPECT_NE(record.find(" REJ XS1001 256;\n"), std::string::npos) << record;
  EXPECT_NE(record.find(" REJ XS1002 07;\n"), std::string::npos) << record;
  EXPECT_NE(record.find(" REJ XL2024;\n"), std::string::npos) << record;
  EXPECT_EQ(record.find(" CMD XS1001 256;"), std::string::npos) << record;
}

TEST(TrxSim, CommandInPiecesAfterGarbageIsAnswered) {
  TempDir dir;
  Sim sim;
  ASSERT_TRUE(sim.Start({"--pattern", "ramp", "--record", dir.File("record.txt")}));
  for (const char* piece : {"#!", "XL1", "00", "2"}) {
    Send(sim.line, piece);
    EXPECT_TRUE(QuietFor(sim.line, 30)) << piece;
  }
  EXPECT_EQ(Exchange(sim, ";", 6), "V:002;");
  EXPECT_EQ(sim.Stop(), 0);
  const std::string record = ReadFile(dir.File("record.txt"));
  EXPECT_NE(record.find(" BAD 2321\n"), std::string::npos) << record;
  EXPECT_NE(record.find(" CMD XL1002;\n"), std::string::npos) << record;
}

TEST(TrxSim, StopAtAnswersOnlyLowerAddresses) {
  TempDir dir;
  Sim sim;
  ASSERT_TRUE(sim.Start({"--stop-at", "3", "--pattern", "ramp", "--dump", dir.File("dump.bin")}));
  EXPECT_EQ(Exchange(sim, "XL1002;", 6), "V:002;");
  Send(sim.line, "XL1003;");
  EXPECT_TRUE(QuietFor(sim.line, 300));
  Send(sim.line, "XS1004 9;");
  EXPECT_TRUE(QuietFor(sim.line, 300));
  EXPECT_EQ(Exchange(sim, "XL1001;", 6), "V:001;");
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_EQ(ReadFile(dir.File("dump.bin"))[4], 4) << "an unanswered write is not stored";
}

TEST(TrxSim, FieldReplacesTheValueBytes) {
  Sim sim;
  ASSERT_TRUE(sim.Start({"--field", "5=2D3031", "--field", "6=31B233", "--field-all", "414243"}));
  EXPECT_EQ(Exchange(sim, "XL1005;", 6), "V:-01;");
  EXPECT_EQ(Exchange(sim, "XL1006;", 6),
            "V:1\xB2"
            "3;");
  EXPECT_EQ(Exchange(sim, "XL1007;", 6), "V:ABC;");
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(TrxSim, PacedExchangeTakesTheLineTime) {
  TempDir dir;
  Sim sim;
  ASSERT_TRUE(sim.Start({"--paced", "--record", dir.File("record.txt")}));
  const auto start = Clock::now();
  EXPECT_EQ(Exchange(sim, "XL1000;", 6), "V:000;");
  const auto elapsed = Clock::now() - start;
  // 13 bytes at 1.04 ms each; the upper bound only catches a sim that stalls.
  EXPECT_GE(elapsed, std::chrono::milliseconds(12));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
  EXPECT_EQ(sim.Stop(), 0);

  std::ifstream record(dir.File("record.txt"));
  long long cmd_us = -1;
  std::vector<long long> tx_us;
  std::string line;
  while (std::getline(record, line)) {
    const long long us = std::stoll(line);
    if (line.find(" CMD XL1000;") != std::string::npos) cmd_us = us;
    if (line.find(" TX ") != std::string::npos) {
      EXPECT_EQ(line.size() - line.find(" TX ") - 4, 2u) << "one byte per TX line: " << line;
      tx_us.push_back(us);
    }
  }
  ASSERT_EQ(tx_us.size(), 6u);
  EXPECT_GE(tx_us[0] - cmd_us, 1041) << "the first byte needs a byte time on the line";
  // Byte times are due times, so their spacing is exact however late the sim woke.
  for (std::size_t i = 1; i < tx_us.size(); ++i) EXPECT_NEAR(tx_us[i] - tx_us[i - 1], 1042, 1);
}

TEST(TrxSim, FaultModesShapeTheReply) {
  struct Case {
    std::vector<std::string> args;
    std::string reply;  // "" means no reply at all
    int min_ms;
  };
  const std::vector<Case> cases = {
      {{"--extra", "2"}, "V:000;##", 0},
      {{"--flood-at", "0:40"}, "V:000;" + std::string(40, '#'), 0},
      {{"--delay-ms", "250"}, "V:000;", 250},
      {{"--delay-ms", "900", "--delay-at", "0:250"}, "V:000;", 250},
      {{"--fragment", "--fragment-max-ms", "100", "--seed", "7"}, "V:000;", 0},
      {{"--silent"}, "", 0},
  };
  for (const Case& c : cases) {
    Sim sim;
    ASSERT_TRUE(sim.Start(c.args)) << c.args[0];
    const auto start = Clock::now();
    Send(sim.line, "XL1000;");
    if (c.reply.empty()) {
      EXPECT_TRUE(QuietFor(sim.line, 600)) << c.args[0];
    } else {
      EXPECT_EQ(ReadBytes(sim.line, c.reply.size(), 3000), c.reply) << c.args[0];
      EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.min_ms)) << c.args[0];
      EXPECT_TRUE(QuietFor(sim.line, 50)) << c.args[0];
    }
    EXPECT_EQ(sim.Stop(), 0);
  }
}

TEST(TrxSim, FragmentSendsOneBytePerWriteWithinTheBound) {
  TempDir dir;
  Sim sim;
  ASSERT_TRUE(
      sim.Start({"--fragment", "--fragment-max-ms", "100", "--record", dir.File("record.txt")}));
  EXPECT_EQ(Exchange(sim, "XL1000;", 6), "V:000;");
  EXPECT_EQ(sim.Stop(), 0);
  std::ifstream record(dir.File("record.txt"));
  std::vector<long long> tx_us;
  std::string line;
  while (std::getline(record, line)) {
    if (line.find(" TX ") != std::string::npos) tx_us.push_back(std::stoll(line));
  }
  ASSERT_EQ(tx_us.size(), 6u);
  // Stamps are write times; allow for a late wake-up on a loaded machine.
  EXPECT_LT(tx_us.back() - tx_us.front(), 100000 + 200000);
}

TEST(TrxSim, StrayBytesGoOutOnSigusr1) {
  Sim sim;
  ASSERT_TRUE(sim.Start({"--stray", "5"}));
  EXPECT_TRUE(QuietFor(sim.line, 50));
  kill(sim.pid, SIGUSR1);
  EXPECT_EQ(ReadBytes(sim.line, 5, 2000), "#####");
  EXPECT_EQ(Exchange(sim, "XL1000;", 6), "V:000;");
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(TrxSim, DropAtHangsUpTheLineAndKeepsRunning) {
  TempDir dir;
  Sim sim;
  ASSERT_TRUE(sim.Start(
      {"--drop-at", "1", "--record", dir.File("record.txt"), "--pty-link", dir.File("com1")}));
  EXPECT_EQ(std::filesystem::read_symlink(dir.File("com1")), sim.pty);
  EXPECT_EQ(Exchange(sim, "XL1000;", 6), "V:000;");
  Send(sim.line, "XL1001;");
  pollfd pfd{sim.line, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 2000), 1);
  EXPECT_NE(pfd.revents & (POLLHUP | POLLERR), 0);
  char byte = 0;
  EXPECT_LE(read(sim.line, &byte, 1), 0) << "the dropped line delivers nothing";
  EXPECT_FALSE(std::filesystem::exists(sim.pty)) << "the port is gone";
  EXPECT_EQ(sim.Wait(200), -1) << "still running";
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(dir.File("com1")));
  EXPECT_NE(ReadFile(dir.File("record.txt")).find(" DROP\n"), std::string::npos);
}

TEST(TrxSim, ExitsWithTwoOnBadStartContent) {
  TempDir dir;
  std::ofstream(dir.File("short.bin"), std::ios::binary) << std::string(1023, 'a');
  std::ofstream(dir.File("long.bin"), std::ios::binary) << std::string(1025, 'a');
  const std::vector<std::vector<std::string>> bad = {{"--memory", dir.File("short.bin")},
                                                     {"--memory", dir.File("long.bin")},
                                                     {"--memory", dir.File("missing.bin")},
                                                     {"--stop-at", "x"}};
  for (const auto& args : bad) {
    Sim sim;
    ASSERT_TRUE(sim.Spawn(args));
    EXPECT_EQ(sim.Wait(), 2) << args[1];
    EXPECT_EQ(sim.OutputLine(100), "") << "no PTY line";
  }
}

}  // namespace
