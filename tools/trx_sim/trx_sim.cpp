// Plays the transceiver on a pty so the program can be run against it as a serial port.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tools/trx_sim/command_parser.h"
#include "tools/trx_sim/sim_options.h"

namespace {

constexpr int kAddressCount = 1024;
// One byte on a 9600-baud 8N1 line: 10 bits.
constexpr std::int64_t kByteNs = 10LL * 1000000000LL / 9600;
constexpr char kFillByte = '#';

SimOptions Options;
std::array<std::uint8_t, kAddressCount> Memory;
std::int64_t StartNs;
int MasterFd = -1;
int OwnSlaveFd = -1;
FILE* Record;
std::mt19937_64 Random;

// Receive side: when the line has delivered the last byte received so far.
std::int64_t InLineFreeNs;
struct DueCommand {
  std::int64_t due_ns;
  ParseEvent event;
};
std::deque<DueCommand> DueCommands;

// Send side: bytes waiting for their time; the line is busy until OutLineFreeNs.
struct DueWrite {
  std::int64_t due_ns;
  std::string bytes;
};
std::deque<DueWrite> DueWrites;
std::int64_t OutLineFreeNs;

std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

void RecordLine(std::int64_t at_ns, const char* tag, std::string_view text) {
  if (Record == nullptr) return;
  std::fprintf(Record, "%lld %s%s%.*s\n", static_cast<long long>((at_ns - StartNs) / 1000), tag,
               text.empty() ? "" : " ", static_cast<int>(text.size()), text.data());
  std::fflush(Record);
}

bool WriteDump() {
  if (Options.dump_file.empty()) return true;
  FILE* file = std::fopen(Options.dump_file.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(Memory.data(), 1, Memory.size(), file) == Memory.size();
  return std::fclose(file) == 0 && ok;
}

bool LoadMemory() {
  if (Options.memory_file.empty()) {
    for (int address = 0; address < kAddressCount; ++address) {
      int value = 0;
      if (Options.pattern == "ff") value = 255;
      if (Options.pattern == "ramp") value = address % 256;
      if (Options.pattern == "mix") value = (address * 7 + 3) % 256;
      Memory[address] = static_cast<std::uint8_t>(value);
    }
    return true;
  }
  FILE* file = std::fopen(Options.memory_file.c_str(), "rb");
  if (file == nullptr) return false;
  const std::size_t got = std::fread(Memory.data(), 1, Memory.size(), file);
  const bool at_end = std::fgetc(file) == EOF;
  std::fclose(file);
  return got == Memory.size() && at_end;
}

// The reply's line time starts no earlier than `earliest` and after what is already queued.
void QueueBytes(std::int64_t earliest, const std::string& bytes, bool fragmented) {
  if (bytes.empty()) return;
  const std::int64_t start = std::max(earliest, OutLineFreeNs);
  if (!fragmented && !Options.paced) {
    DueWrites.push_back({start, bytes});
    OutLineFreeNs = start;
    return;
  }
  std::vector<std::int64_t> offsets(bytes.size(), 0);
  if (fragmented) {
    std::uniform_int_distribution<std::int64_t> gap(0, Options.fragment_max_ms * 1000000LL);
    for (std::size_t i = 1; i < offsets.size(); ++i) offsets[i] = gap(Random);
    std::sort(offsets.begin(), offsets.end());
  }
  // A paced byte is due when its last bit has crossed the line.
  std::int64_t previous = start;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::int64_t due = start + offsets[i];
    if (Options.paced) due = std::max(due, previous + kByteNs);
    DueWrites.push_back({due, bytes.substr(i, 1)});
    previous = due;
  }
  OutLineFreeNs = previous;
}

void DropLine(std::int64_t now) {
  close(MasterFd);
  close(OwnSlaveFd);
  MasterFd = -1;
  OwnSlaveFd = -1;
  DueWrites.clear();
  DueCommands.clear();
  RecordLine(now, "DROP", "");
}

std::string ReadReply(int address) {
  const auto field = Options.fields.find(address);
  std::array<std::uint8_t, 3> value{};
  if (field != Options.fields.end()) {
    value = field->second;
  } else if (Options.field_all) {
    value = *Options.field_all;
  } else {
    const int v = Memory[address];
    value = {static_cast<std::uint8_t>('0' + v / 100), static_cast<std::uint8_t>('0' + v / 10 % 10),
             static_cast<std::uint8_t>('0' + v % 10)};
  }
  std::string reply = "V:";
  reply.append(value.begin(), value.end());
  reply += ';';
  return reply;
}

void ServeCommand(const DueCommand& command) {
  const ParseEvent& event = command.event;
  RecordLine(command.due_ns, "CMD", event.bytes);
  const bool answers = !Options.silent && (Options.stop_at < 0 || event.address < Options.stop_at);
  if (event.address == Options.drop_at) {
    DropLine(command.due_ns);
    return;
  }
  if (!answers) return;
  std::string reply;
  if (event.kind == ParseEventKind::kRead) {
    reply = ReadReply(event.address);
  } else {
    Memory[event.address] = static_cast<std::uint8_t>(event.value);
    reply = "OK;\r";
  }
  reply.append(static_cast<std::size_t>(Options.extra), kFillByte);
  const auto delay_at = Options.delay_at.find(event.address);
  const int delay_ms = delay_at != Options.delay_at.end() ? delay_at->second : Options.delay_ms;
  QueueBytes(command.due_ns + delay_ms * 1000000LL, reply, Options.fragment);
  const auto flood = Options.flood_at.find(event.address);
  if (flood != Options.flood_at.end()) {
    QueueBytes(command.due_ns, std::string(static_cast<std::size_t>(flood->second), kFillByte),
               false);
  }
}

void Receive(CommandParser& parser, std::int64_t now) {
  char buffer[4096];
  const ssize_t got = read(MasterFd, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    // Cannot happen while the own slave fd is open; stop listening rather than spin.
    RecordLine(now, "ERR", got < 0 ? std::strerror(errno) : "end of input");
    DropLine(now);
    return;
  }
  const std::string_view bytes(buffer, static_cast<std::size_t>(got));
  RecordLine(now, "RX", Hex(bytes));
  // With pacing, byte k of this read has left the line k+1 byte times after the line was free.
  const std::int64_t line_start = std::max(now, InLineFreeNs);
  if (Options.paced) InLineFreeNs = line_start + got * kByteNs;
  for (ParseEvent& event : FeedParser(parser, bytes)) {
    const std::int64_t due =
        Options.paced ? line_start + static_cast<std::int64_t>(event.end_in_feed) * kByteNs : now;
    if (event.kind == ParseEventKind::kGarbage) {
      RecordLine(now, "BAD", Hex(event.bytes));
    } else if (event.kind == ParseEventKind::kRejected) {
      RecordLine(due, "REJ", event.bytes);
    } else {
      DueCommands.push_back({due, std::move(event)});
    }
  }
}

void SendDue(std::int64_t now) {
  while (MasterFd >= 0 && !DueWrites.empty() && DueWrites.front().due_ns <= now) {
    const DueWrite write = DueWrites.front();
    DueWrites.pop_front();
    ssize_t sent = -1;
    do {
      sent = ::write(MasterFd, write.bytes.data(), write.bytes.size());
    } while (sent < 0 && errno == EINTR);
    const std::size_t done = sent > 0 ? static_cast<std::size_t>(sent) : 0;
    const std::int64_t stamp = Options.paced ? write.due_ns : NowNs();
    if (done > 0) RecordLine(stamp, "TX", Hex(std::string_view(write.bytes).substr(0, done)));
    // Nobody reads the line and its buffer is full: like a real line, the bytes are lost.
    if (done < write.bytes.size()) RecordLine(stamp, "LOST", Hex(write.bytes.substr(done)));
  }
}

bool OpenPty(std::string* slave_path) {
  MasterFd = posix_openpt(O_RDWR | O_NOCTTY);
  if (MasterFd < 0 || grantpt(MasterFd) != 0 || unlockpt(MasterFd) != 0) return false;
  const char* name = ptsname(MasterFd);
  if (name == nullptr) return false;
  *slave_path = name;
  // Held for the sim's life so the master never sees a hangup when the program closes the port.
  OwnSlaveFd = open(name, O_RDWR | O_NOCTTY);
  if (OwnSlaveFd < 0) return false;
  termios raw{};
  if (tcgetattr(OwnSlaveFd, &raw) != 0) return false;
  cfmakeraw(&raw);
  cfsetispeed(&raw, B9600);
  cfsetospeed(&raw, B9600);
  if (tcsetattr(OwnSlaveFd, TCSANOW, &raw) != 0) return false;
  const int flags = fcntl(MasterFd, F_GETFL);
  return flags >= 0 && fcntl(MasterFd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Serves until SIGTERM or SIGINT. False when the signal fd fails.
bool Serve(int signal_fd) {
  CommandParser parser;
  for (;;) {
    std::int64_t now = NowNs();
    while (!DueCommands.empty() && DueCommands.front().due_ns <= now) {
      const DueCommand command = DueCommands.front();
      DueCommands.pop_front();
      ServeCommand(command);
    }
    SendDue(now);
    std::int64_t next = -1;
    if (!DueCommands.empty()) next = DueCommands.front().due_ns;
    if (!DueWrites.empty() && (next < 0 || DueWrites.front().due_ns < next)) {
      next = DueWrites.front().due_ns;
    }
    timespec timeout{};
    if (next >= 0) {
      const std::int64_t wait = std::max<std::int64_t>(0, next - now);
      timeout = {static_cast<time_t>(wait / 1000000000LL), static_cast<long>(wait % 1000000000LL)};
    }
    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {MasterFd, POLLIN, 0}};
    const int ready = ppoll(fds, 2, next >= 0 ? &timeout : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    now = NowNs();
    if (fds[1].revents != 0) Receive(parser, now);
    if (fds[0].revents == 0) continue;
    signalfd_siginfo info{};
    const ssize_t got = read(signal_fd, &info, sizeof info);
    if (got != static_cast<ssize_t>(sizeof info)) continue;
    if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) return true;
    if (info.ssi_signo == SIGUSR1 && MasterFd >= 0) {
      QueueBytes(now, std::string(static_cast<std::size_t>(Options.stray), kFillByte), false);
    }
    if (info.ssi_signo == SIGUSR2) {
      if (!WriteDump())
        std::fprintf(stderr, "trx_sim: cannot write %s\n", Options.dump_file.c_str());
      std::fputs("DUMPED\n", stdout);
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before anything else, so an early signal is served, not fatal.
  sigset_t signals;
  sigemptyset(&signals);
  for (int signo : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&signals, signo);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  if (!ParseSimOptions(argc, argv, &Options, &error)) {
    std::fprintf(stderr, "trx_sim: %s\n%s", error.c_str(), kSimUsage);
    return 2;
  }
  if (Options.help) {
    std::fputs(kSimUsage, stdout);
    return 0;
  }
  if (!LoadMemory()) {
    std::fprintf(stderr, "trx_sim: %s is not a file of exactly 1024 bytes\n",
                 Options.memory_file.c_str());
    return 2;
  }
  StartNs = NowNs();
  Random.seed(Options.seed);
  if (!Options.record_file.empty()) {
    Record = std::fopen(Options.record_file.c_str(), "a");
    if (Record == nullptr) {
      std::fprintf(stderr, "trx_sim: cannot open %s\n", Options.record_file.c_str());
      return 2;
    }
  }
  std::string slave_path;
  if (!OpenPty(&slave_path)) {
    std::fprintf(stderr, "trx_sim: cannot set up a pty: %s\n", std::strerror(errno));
    return 1;
  }
  if (!Options.pty_link.empty() && symlink(slave_path.c_str(), Options.pty_link.c_str()) != 0) {
    std::fprintf(stderr, "trx_sim: cannot link %s: %s\n", Options.pty_link.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
  std::printf("PTY %s\n", slave_path.c_str());
  std::fflush(stdout);

  const bool served = signal_fd >= 0 && Serve(signal_fd);
  const bool dumped = WriteDump();
  if (!Options.pty_link.empty()) unlink(Options.pty_link.c_str());
  if (Record != nullptr) std::fclose(Record);
  if (!served) std::fprintf(stderr, "trx_sim: waiting for events failed\n");
  if (!dumped) std::fprintf(stderr, "trx_sim: cannot write %s\n", Options.dump_file.c_str());
  return served && dumped ? 0 : 1;
}
