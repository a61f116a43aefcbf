// The embedded demonstration system and a small source grid, as a caller of
// the whole-computation API holds them; tests change `src` as they need.
#pragma once

#include "forward_api/Compute.h"
#include "host_interfaces/DefaultSystem.h"

namespace megfwd::test {

struct DemoInputs {
    CMEGDatakw recording = demo::makeDefaultRecording(1);
    SystemRef sys{&recording, recording.getTrial(0), "embedded"};
    SourceSpec src;
    DemoInputs() {
        src.grid = GridSpec{{-40, -20, -40}, {40, 60, 40}, 20};
        src.label = "grid";
    }
};

}  // namespace megfwd::test
