#pragma once

#include <cstdint>
#include <string>

// Which processor a Windows program image is built for, read from the first
// bytes of the file: the COFF header's Machine field (0x8664 x86-64, 0x014C
// x86). Values only; any thread.

// How many leading bytes of a file PeMachineOf needs at most.
inline constexpr std::size_t kPeHeaderBytes = 64 * 1024;

// True and machine set when head (the file's first bytes) starts a PE image
// whose headers lie within it; false for anything else.
bool PeMachineOf(const std::string& head, std::uint16_t& machine);

// The Machine value of the build that is running.
std::uint16_t RunningBuildMachine();
