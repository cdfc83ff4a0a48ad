#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace tarvel {

// Commands of the tray menu.
inline constexpr uint32_t kCmdOptions = 40001;
inline constexpr uint32_t kCmdExit = 40002;
inline constexpr uint32_t kCmdCheckNow = 40004;
inline constexpr uint32_t kCmdSilence5 = 40015;
inline constexpr uint32_t kCmdSilence15 = 40016;
inline constexpr uint32_t kCmdSilence30 = 40017;
inline constexpr uint32_t kCmdSilence60 = 40018;
inline constexpr uint32_t kCmdSilence120 = 40019;
inline constexpr uint32_t kCmdSilenceUntilRestart = 40020;
inline constexpr uint32_t kCmdNotificationsOn = 40021;
inline constexpr uint32_t kCmdSilenceForEver = 40035;

// The commands that open one account type's reader, with that type's typeBit.
struct ReaderCommand {
  uint32_t command;
  uint32_t typeBit;
};
inline constexpr std::array<ReaderCommand, 21> kReaderCommands = {{
    {40003, 0x1},      {40005, 0x2},     {40006, 0x4},     {40007, 0x8},     {40008, 0x10},
    {40009, 0x20},     {40010, 0x40},    {40011, 0x80},    {40012, 0x100},   {40013, 0x200},
    {40022, 0x400},    {40023, 0x800},   {40025, 0x2000},  {40026, 0x4000},  {40028, 0x8000},
    {40029, 0x10000},  {40030, 0x20000}, {40031, 0x40000}, {40032, 0x80000}, {40033, 0x1000},
    {40034, 0x100000},
}};

inline std::optional<uint32_t> ReaderTypeForCommand(uint32_t command) {
  for (const ReaderCommand& entry : kReaderCommands) {
    if (entry.command == command)
      return entry.typeBit;
  }
  return std::nullopt;
}

// The minutes of the timed silence commands.
inline std::optional<int32_t> SilenceMinutesForCommand(uint32_t command) {
  switch (command) {
    case kCmdSilence5:
      return 5;
    case kCmdSilence15:
      return 15;
    case kCmdSilence30:
      return 30;
    case kCmdSilence60:
      return 60;
    case kCmdSilence120:
      return 120;
    default:
      return std::nullopt;
  }
}

}  // namespace tarvel
