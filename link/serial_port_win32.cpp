#include <windows.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "link/serial_port.h"

namespace {

// Holds a freshly opened port until it is handed over, so every failed step closes it.
struct OwnedHandle {
  explicit OwnedHandle(HANDLE handle) : Value(handle) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() {
    if (Value != INVALID_HANDLE_VALUE) {
      CloseHandle(Value);
    }
  }
  HANDLE Release() { return std::exchange(Value, INVALID_HANDLE_VALUE); }

  HANDLE Value;
};

// The lock guards SerialPortHandle alone; reads and writes run outside it on the handle taken,
// so a close at shutdown never waits for a job's input or output.
SRWLOCK SerialPortLock = SRWLOCK_INIT;
HANDLE SerialPortHandle = nullptr;

HANDLE CurrentPortHandle() {
  AcquireSRWLockShared(&SerialPortLock);
  HANDLE port = SerialPortHandle;
  ReleaseSRWLockShared(&SerialPortLock);
  return port;
}

}  // namespace

intptr_t OpenPort(const std::wstring& name, const SerialLineSettings& settings) {
  OwnedHandle port(CreateFileW(DevicePathForPort(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr));
  if (port.Value == INVALID_HANDLE_VALUE) {
    return 0;
  }
  if (settings.InputQueue > 0 && settings.OutputQueue > 0) {
    SetupComm(port.Value, static_cast<DWORD>(settings.InputQueue),
              static_cast<DWORD>(settings.OutputQueue));
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port.Value, &dcb)) {
    return 0;
  }
  // Only these fields change; DTR, DSR, XON/XOFF and the special characters stay as the driver
  // has them.
  dcb.BaudRate = static_cast<DWORD>(settings.BaudRate);
  dcb.fParity = TRUE;
  dcb.ByteSize = settings.DataBits;
  dcb.Parity = settings.Parity;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  if (!SetCommState(port.Value, &dcb)) {
    return 0;
  }
  // No read time-out: a read returns once every byte asked for is there. A write of n bytes
  // gets 100 * n + 10 ms.
  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutMultiplier = 100;
  timeouts.WriteTotalTimeoutConstant = 10;
  SetCommTimeouts(port.Value, &timeouts);

  HANDLE opened = port.Release();
  AcquireSRWLockExclusive(&SerialPortLock);
  HANDLE older = std::exchange(SerialPortHandle, opened);
  if (older != nullptr) {
    CloseHandle(older);
  }
  ReleaseSRWLockExclusive(&SerialPortLock);
  return reinterpret_cast<intptr_t>(opened);
}

void ClosePort() {
  AcquireSRWLockExclusive(&SerialPortLock);
  if (SerialPortHandle != nullptr) {
    CloseHandle(SerialPortHandle);
    SerialPortHandle = nullptr;
  }
  ReleaseSRWLockExclusive(&SerialPortLock);
}

int32_t BytesWaiting() {
  HANDLE port = CurrentPortHandle();
  if (port == nullptr) {
    return 0;
  }
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(port, &errors, &status)) {
    return 0;
  }
  return static_cast<int32_t>(std::min<DWORD>(status.cbInQue, INT32_MAX));
}

int32_t ReadBytes(uint8_t* buffer, int32_t count) {
  HANDLE port = CurrentPortHandle();
  if (port == nullptr || count <= 0) {
    return 0;
  }
  DWORD read = 0;
  if (!ReadFile(port, buffer, static_cast<DWORD>(count), &read, nullptr)) {
    return 0;
  }
  return static_cast<int32_t>(read);
}

int32_t WriteBytes(const uint8_t* buffer, int32_t count) {
  HANDLE port = CurrentPortHandle();
  if (port == nullptr || count <= 0) {
    return 0;
  }
  DWORD written = 0;
  if (!WriteFile(port, buffer, static_cast<DWORD>(count), &written, nullptr)) {
    return 0;
  }
  return static_cast<int32_t>(written);
}
