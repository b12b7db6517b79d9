// The one process-wide serial port. Every operation returns 0 on failure or with no port open.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SerialLineSettings {
  int32_t BaudRate;
  uint8_t Parity;
  uint8_t DataBits;
  float StopBits;
  int32_t Handshake;
  int32_t InputQueue;
  int32_t OutputQueue;
};

// The line every open uses: 9600 8N1, no flow control, RTS held off, 16-byte queues.
inline constexpr SerialLineSettings PortSettings{9600, 0, 8, 1.0f, 0, 16, 16};

// "\\.\" followed by at most the first 59 UTF-16 units of the name.
std::wstring DevicePathForPort(std::wstring_view name);

intptr_t OpenPort(const std::wstring& name, const SerialLineSettings& settings);
void ClosePort();
int32_t BytesWaiting();
int32_t ReadBytes(uint8_t* buffer, int32_t count);
int32_t WriteBytes(const uint8_t* buffer, int32_t count);
