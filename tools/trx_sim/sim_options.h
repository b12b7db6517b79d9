// The simulator's command line.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

using ValueField = std::array<std::uint8_t, 3>;

struct SimOptions {
  bool help = false;
  std::string memory_file;
  std::string pattern = "zero";
  std::string record_file;
  std::string dump_file;
  std::string pty_link;
  bool paced = false;
  bool silent = false;
  int stop_at = -1;  // -1: answers every address
  std::map<int, ValueField> fields;
  std::optional<ValueField> field_all;
  int extra = 0;
  int stray = 0;
  int delay_ms = 0;
  std::map<int, int> delay_at;  // address -> ms, instead of delay_ms
  int drop_at = -1;
  bool fragment = false;
  int fragment_max_ms = 300;
  std::uint64_t seed = 1;
  std::map<int, int> flood_at;  // address -> garbage bytes after the reply
};

// False with *error set when the arguments are not valid.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error);

extern const char kSimUsage[];
