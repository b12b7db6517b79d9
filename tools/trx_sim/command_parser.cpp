#include "tools/trx_sim/command_parser.h"

namespace {

constexpr int kWireOffset = 1000;
constexpr int kAddressCount = 1024;

enum class Match { kPrefix, kMismatch, kComplete };

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int DigitsValue(std::string_view digits) {
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

// text[0] is 'X'. On kComplete, *length is the command's length.
Match MatchCommand(std::string_view text, std::size_t* length) {
  if (text.size() < 2) return Match::kPrefix;
  if (text[1] != 'L' && text[1] != 'S') return Match::kMismatch;
  for (std::size_t i = 2; i < 6; ++i) {
    if (i >= text.size()) return Match::kPrefix;
    if (!IsDigit(text[i])) return Match::kMismatch;
  }
  if (text[1] == 'L') {
    if (text.size() < 7) return Match::kPrefix;
    if (text[6] != ';') return Match::kMismatch;
    *length = 7;
    return Match::kComplete;
  }
  if (text.size() < 7) return Match::kPrefix;
  if (text[6] != ' ') return Match::kMismatch;
  for (std::size_t i = 7; i < 11; ++i) {
    if (i >= text.size()) return Match::kPrefix;
    if (text[i] == ';' && i > 7) {
      *length = i + 1;
      return Match::kComplete;
    }
    if (!IsDigit(text[i]) || i == 10) return Match::kMismatch;
  }
  return Match::kMismatch;
}

ParseEvent CommandEvent(std::string_view text) {
  ParseEvent event{ParseEventKind::kRejected, std::string(text), 0, 0, 0};
  const int address = DigitsValue(text.substr(2, 4)) - kWireOffset;
  if (address < 0 || address >= kAddressCount) return event;
  event.address = address;
  if (text[1] == 'L') {
    event.kind = ParseEventKind::kRead;
    return event;
  }
  const std::string_view digits = text.substr(7, text.size() - 8);
  // The program never sends leading zeros; the radio is strict so such a fault shows.
  if (digits.size() > 1 && digits[0] == '0') return event;
  event.value = DigitsValue(digits);
  if (event.value > 255) return event;
  event.kind = ParseEventKind::kWrite;
  return event;
}

}  // namespace

std::vector<ParseEvent> FeedParser(CommandParser& parser, std::string_view bytes) {
  std::vector<ParseEvent> events;
  std::string& pending = parser.pending;
  // Bytes of this feed not yet in pending; pending always starts with 'X' or is empty.
  const std::size_t carried = pending.size();
  pending.append(bytes);
  std::size_t start = 0;
  auto end_in_feed = [&](std::size_t end) { return end > carried ? end - carried : 0; };
  while (start < pending.size()) {
    if (pending[start] != 'X') {
      std::size_t next = pending.find('X', start);
      if (next == std::string::npos) next = pending.size();
      events.push_back(
          {ParseEventKind::kGarbage, pending.substr(start, next - start), 0, 0, end_in_feed(next)});
      start = next;
      continue;
    }
    std::size_t length = 0;
    const std::string_view rest = std::string_view(pending).substr(start);
    const Match match = MatchCommand(rest, &length);
    if (match == Match::kPrefix) break;
    if (match == Match::kMismatch) {
      std::size_t next = pending.find('X', start + 1);
      if (next == std::string::npos) next = pending.size();
      events.push_back(
          {ParseEventKind::kGarbage, pending.substr(start, next - start), 0, 0, end_in_feed(next)});
      start = next;
      continue;
    }
    ParseEvent event = CommandEvent(rest.substr(0, length));
    event.end_in_feed = end_in_feed(start + length);
    events.push_back(std::move(event));
    start += length;
  }
  pending.erase(0, start);
  return events;
}
