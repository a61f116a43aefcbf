// Small hand-built recordings for the forward data model tests.
#pragma once

#include "host_interfaces/Afx.h"
#include "host_interfaces/Recording.h"

namespace fwdtest {

// A channel of the given kind with a one-coil sensor at (x, y, z), or without a sensor.
inline CMDChannelkw channel(int kind, double x, double y, double z, bool noSensor = false) {
    CMDChannelkw ch;
    ch.snsKind = kind;
    if (noSensor) return ch;
    CMEGSensorkw s;
    CBscMagSnskw c;
    const double p[3] = {x, y, z}, n[3] = {0.0, 0.0, 1.0};
    c.setCoil(p, n, 9.0, 1, 1.0);
    s.addCoil(c);
    ch.setSensor(s);
    return ch;
}

// Channels 0..2 measurement (coils at x = 0, 10, 20, y = 100), 3..4 reference (y = 300), 5 non-MEG without sensor.
inline CMDTrialkw standardTrial() {
    CMDTrialkw t;
    for (int i = 0; i < 3; ++i) t.addChannel(channel(megfwd::kind::kAxialGradiometer1, 10.0 * i, 100.0, 0.0));
    for (int i = 0; i < 2; ++i) t.addChannel(channel(megfwd::kind::kRefGradiometer, 10.0 * i, 300.0, 0.0));
    t.addChannel(channel(megfwd::kind::kEEG, 0, 0, 0, true));
    return t;
}

// The result of f() with its allocation number `succeed` (0-based) failing.
template <class F>
auto failingAfter(int succeed, F f) {
    megfwd::alloc::failAfter(succeed);
    auto result = f();
    megfwd::alloc::reset();
    return result;
}

}  // namespace fwdtest
