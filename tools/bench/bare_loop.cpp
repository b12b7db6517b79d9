// The benchmark's reference: the 1024 exchanges of a transfer, with the same line settings and the
// same reply wait as the program, but nothing else: no window, no threads, no shared code. Whatever
// the program spends beyond this loop is its own cost.
//
//   bare_loop COMn read          reads the 1024 settings, prints the sum of the values
//   bare_loop COMn write VALUE   writes VALUE to every address
//
// Exit status 0 when all 1024 exchanges were answered, 1 on a reply time-out, 2 on bad usage or a
// port that does not open.
#include <windows.h>
// timeapi.h builds on the types of windows.h.
#include <timeapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

constexpr int kSettings = 1024;
constexpr int kWireOffset = 1000;
constexpr DWORD kReadReply = 6;
constexpr DWORD kWriteReply = 4;
constexpr int kPollLimit = 500;

HANDLE Port = INVALID_HANDLE_VALUE;
char Tx[17];
char Rx[17];

bool OpenLine(const std::wstring& name) {
  const std::wstring path = L"\\\\.\\" + name;
  Port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
  if (Port == INVALID_HANDLE_VALUE) return false;
  SetupComm(Port, 16, 16);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(Port, &dcb)) return false;
  dcb.BaudRate = 9600;
  dcb.fParity = TRUE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  if (!SetCommState(Port, &dcb)) return false;
  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutMultiplier = 100;
  timeouts.WriteTotalTimeoutConstant = 10;
  SetCommTimeouts(Port, &timeouts);
  return true;
}

DWORD Waiting() {
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(Port, &errors, &status) ? status.cbInQue : 0;
}

void Drain() {
  Sleep(100);
  for (DWORD waiting = Waiting(); waiting > 0; waiting = Waiting()) {
    DWORD got = 0;
    ReadFile(Port, Rx, waiting < sizeof Rx ? waiting : sizeof Rx, &got, nullptr);
  }
}

// One command out, then the reply wait of the program: a poll after each 1 ms sleep, done when
// exactly the reply's length is waiting, given up at the 500th poll.
bool Exchange(int length, DWORD reply) {
  DWORD sent = 0;
  WriteFile(Port, Tx, static_cast<DWORD>(length), &sent, nullptr);
  int polls = 0;
  do {
    Sleep(1);
    ++polls;
  } while (Waiting() != reply && polls != kPollLimit);
  if (polls == kPollLimit) return false;
  DWORD got = 0;
  ReadFile(Port, Rx, reply, &got, nullptr);
  return true;
}

int Usage() {
  std::fputs("usage: bare_loop COMn read | bare_loop COMn write VALUE\n", stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const bool write = std::wcscmp(argv[2], L"write") == 0;
  if (!write && std::wcscmp(argv[2], L"read") != 0) return Usage();
  if (write && argc < 4) return Usage();
  const long value = write ? std::wcstol(argv[3], nullptr, 10) : 0;
  if (value < 0 || value > 255) return Usage();

  timeBeginPeriod(1);
  if (!OpenLine(argv[1])) {
    std::fputs("bare_loop: cannot open the port\n", stderr);
    return 2;
  }
  Drain();
  long sum = 0;
  for (int address = 0; address < kSettings; ++address) {
    const int wire = address + kWireOffset;
    const bool answered =
        write ? Exchange(std::snprintf(Tx, sizeof Tx, "XS%d %ld;", wire, value), kWriteReply)
              : Exchange(std::snprintf(Tx, sizeof Tx, "XL%d;", wire), kReadReply);
    if (!answered) {
      std::fprintf(stderr, "bare_loop: no reply at address %d\n", address);
      CloseHandle(Port);
      return 1;
    }
    if (!write) sum += std::strtol(std::string(Rx + 2, 3).c_str(), nullptr, 10) & 0xFF;
  }
  CloseHandle(Port);
  std::printf("%s 1024 sum %ld\n", write ? "write" : "read", write ? value * kSettings : sum);
  return 0;
}
