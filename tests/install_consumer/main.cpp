// Computes the leadfield of the embedded demonstration system at three
// sources with the installed library, and checks what came back: the shape
// (sources, measurement sensors, components), finite values, not all zero.
// Prints the shape and exits 0 when all holds, 1 otherwise.
#include <cmath>
#include <cstdio>
#include <exception>

#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "host_interfaces/Afx.h"
#include "host_interfaces/DefaultSystem.h"

int main() {
    megfwd::setMessageBoxHandler([](const std::string& text, unsigned type) {
        std::fprintf(stderr, "library: %s\n", text.c_str());
        return type == MB_YESNO ? IDNO : IDOK;
    });
    try {
        CMEGDatakw recording = megfwd::demo::makeDefaultRecording(1);
        const megfwd::SystemRef system{&recording, recording.getTrial(0), "embedded default system"};
        megfwd::SourceSpec sources;
        sources.positions = {0, 40, 0, 20, 50, 10, -30, 20, 40};  // mm
        megfwd::LeadfieldRequest request;
        request.threads = 1;
        const megfwd::ForwardResult r = megfwd::computeLeadfield(system, sources, request);

        const auto sensors = megfwd::countMeasurementSensors(*recording.getTrial(0), true);
        if (r.shape.size() != 3 || r.shape[0] != 3 || r.shape[1] != sensors || r.shape[2] < 1) {
            std::fprintf(stderr, "unexpected leadfield shape\n");
            return 1;
        }
        if (r.values.size() != static_cast<std::size_t>(r.shape[0] * r.shape[1] * r.shape[2])) {
            std::fprintf(stderr, "%zu values for the shape\n", r.values.size());
            return 1;
        }
        bool nonZero = false;
        for (double v : r.values) {
            if (!std::isfinite(v)) {
                std::fprintf(stderr, "a value is not finite\n");
                return 1;
            }
            nonZero = nonZero || v != 0.0;
        }
        if (!nonZero) {
            std::fprintf(stderr, "every value is 0\n");
            return 1;
        }
        std::printf("leadfield (%lld, %lld, %lld)\n", static_cast<long long>(r.shape[0]),
                    static_cast<long long>(r.shape[1]), static_cast<long long>(r.shape[2]));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}
