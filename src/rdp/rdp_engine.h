#pragma once

// The engine a tile currently drives: the embedded FreeRDP session or the system's remote desktop control.
enum class RdpEngine : int {
    FreeRdp = 0,
    System = 1,
};
