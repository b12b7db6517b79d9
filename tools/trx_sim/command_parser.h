// Splits the byte stream from the program into the radio's commands, whatever
// pieces it arrives in. Anything that is not a well-formed command is handed
// back as garbage, and parsing resumes at the next 'X'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class ParseEventKind {
  kRead,      // "XL" + wire address + ";", address in range
  kWrite,     // "XS" + wire address + " " + value + ";", address and value in range
  kRejected,  // well-formed, but the address or value is one the radio refuses
  kGarbage,   // bytes that form no command
};

struct ParseEvent {
  ParseEventKind kind;
  std::string bytes;        // the command text or the garbage bytes
  int address = 0;          // 0..1023 (wire address - 1000) for kRead and kWrite
  int value = 0;            // kWrite only
  std::size_t end_in_feed;  // bytes of the current feed consumed up to the event's end
};

struct CommandParser {
  std::string pending;  // a command's prefix waiting for more bytes
};

std::vector<ParseEvent> FeedParser(CommandParser& parser, std::string_view bytes);
