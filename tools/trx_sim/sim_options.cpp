#include "tools/trx_sim/sim_options.h"

#include <charconv>
#include <string_view>

const char kSimUsage[] =
    "usage: trx_sim [options]\n"
    "Plays the transceiver on a new pty; prints \"PTY <slave path>\" and serves\n"
    "until SIGTERM or SIGINT.\n"
    "  --pty-link PATH       also make PATH a symlink to the slave\n"
    "  --memory FILE         start content, exactly 1024 bytes\n"
    "  --pattern NAME        start content: zero (default), ff, ramp, mix\n"
    "  --record FILE         append one line per event\n"
    "  --dump FILE           write the memory at exit and on SIGUSR2 (then print DUMPED)\n"
    "  --paced               9600 baud timing in both directions\n"
    "  --silent              never answer\n"
    "  --stop-at N           answer only addresses below N\n"
    "  --field ADDR=HEX      read reply bytes 2..4 for ADDR (3 bytes in hex), repeatable\n"
    "  --field-all HEX       the same for every address without its own --field\n"
    "  --extra N             N extra bytes after each reply, in the same write\n"
    "  --stray N             write N stray bytes on each SIGUSR1\n"
    "  --delay-ms MS         wait MS before each reply\n"
    "  --delay-at ADDR:MS    wait MS before the reply for ADDR instead, repeatable\n"
    "  --drop-at ADDR        the line drops when the command for ADDR arrives\n"
    "  --fragment            send replies byte by byte with random gaps\n"
    "  --fragment-max-ms MS  bound of one fragmented reply (default 300)\n"
    "  --seed S              seed of the gaps (default 1)\n"
    "  --flood-at ADDR:COUNT after the reply for ADDR, COUNT garbage bytes, repeatable\n"
    "  --help                this text\n";

namespace {

constexpr int kAddressCount = 1024;
constexpr int kMaxCount = 1000000;
constexpr int kMaxMs = 3600000;

template <typename T>
bool ParseNumber(std::string_view text, T min, T max, T* out) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    return false;
  }
  *out = value;
  return true;
}

bool ParseHexField(std::string_view text, ValueField* out) {
  if (text.size() != 6) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    unsigned byte = 0;
    const char* first = text.data() + 2 * i;
    const auto [end, ec] = std::from_chars(first, first + 2, byte, 16);
    if (ec != std::errc() || end != first + 2) return false;
    (*out)[i] = static_cast<std::uint8_t>(byte);
  }
  return true;
}

// "A<sep>B" with A an address and B in [0, max_b].
bool ParsePair(std::string_view text, char separator, int max_b, int* a, int* b) {
  const std::size_t at = text.find(separator);
  if (at == std::string_view::npos) return false;
  return ParseNumber(text.substr(0, at), 0, kAddressCount - 1, a) &&
         ParseNumber(text.substr(at + 1), 0, max_b, b);
}

}  // namespace

bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error) {
  SimOptions& o = *options;
  bool pattern_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--help") {
      o.help = true;
      continue;
    }
    if (name == "--paced") {
      o.paced = true;
      continue;
    }
    if (name == "--silent") {
      o.silent = true;
      continue;
    }
    if (name == "--fragment") {
      o.fragment = true;
      continue;
    }
    if (i + 1 >= argc) {
      *error = "missing value or unknown option: " + std::string(name);
      return false;
    }
    const std::string_view value = argv[++i];
    bool ok = true;
    if (name == "--memory") {
      o.memory_file = value;
    } else if (name == "--pattern") {
      ok = value == "zero" || value == "ff" || value == "ramp" || value == "mix";
      o.pattern = value;
      pattern_given = true;
    } else if (name == "--record") {
      o.record_file = value;
    } else if (name == "--dump") {
      o.dump_file = value;
    } else if (name == "--pty-link") {
      o.pty_link = value;
    } else if (name == "--stop-at") {
      ok = ParseNumber(value, 0, kAddressCount, &o.stop_at);
    } else if (name == "--field") {
      const std::size_t at = value.find('=');
      int address = 0;
      ValueField field{};
      ok = at != std::string_view::npos &&
           ParseNumber(value.substr(0, at), 0, kAddressCount - 1, &address) &&
           ParseHexField(value.substr(at + 1), &field);
      if (ok) o.fields[address] = field;
    } else if (name == "--field-all") {
      ValueField field{};
      ok = ParseHexField(value, &field);
      if (ok) o.field_all = field;
    } else if (name == "--extra") {
      ok = ParseNumber(value, 0, kMaxCount, &o.extra);
    } else if (name == "--stray") {
      ok = ParseNumber(value, 0, kMaxCount, &o.stray);
    } else if (name == "--delay-ms") {
      ok = ParseNumber(value, 0, kMaxMs, &o.delay_ms);
    } else if (name == "--delay-at") {
      int address = 0;
      int ms = 0;
      ok = ParsePair(value, ':', kMaxMs, &address, &ms);
      if (ok) o.delay_at[address] = ms;
    } else if (name == "--drop-at") {
      ok = ParseNumber(value, 0, kAddressCount - 1, &o.drop_at);
    } else if (name == "--fragment-max-ms") {
      ok = ParseNumber(value, 0, kMaxMs, &o.fragment_max_ms);
    } else if (name == "--seed") {
      ok = ParseNumber<std::uint64_t>(value, 0, UINT64_MAX, &o.seed);
    } else if (name == "--flood-at") {
      int address = 0;
      int count = 0;
      ok = ParsePair(value, ':', kMaxCount, &address, &count);
      if (ok) o.flood_at[address] = count;
    } else {
      *error = "unknown option: " + std::string(name);
      return false;
    }
    if (!ok) {
      *error = "bad value for " + std::string(name) + ": " + std::string(value);
      return false;
    }
  }
  if (!o.memory_file.empty() && pattern_given) {
    *error = "--memory and --pattern exclude each other";
    return false;
  }
  return true;
}
