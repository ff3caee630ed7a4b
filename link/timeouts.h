#pragma once
// The two time-outs that watch a transfer.

#include <chrono>

using namespace std::chrono_literals;

// Every frame the tool sends comes back through the cable: nothing back in this time means
// no cable (or the wrong port).
inline constexpr std::chrono::milliseconds kCableTimeout = 1000ms;
// The radio's answer to a frame that expects one, and each record of a read, must come
// within this time.
inline constexpr std::chrono::milliseconds kResponseTimeout = 1100ms;
