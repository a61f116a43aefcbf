// A libFuzzer harness around one entry of Entries.h, chosen at build time by
// MEGFWD_FUZZ_HARNESS (its name). Inputs the reader refuses (InputError) are
// ordinary; anything else that escapes is left to abort, which libFuzzer
// reports as a fault and saves the input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Errors.h"
#include "fuzz/Entries.h"
#include "host_interfaces/Afx.h"

namespace {

megfwd::fuzz::Entry entry() {
    static const megfwd::fuzz::Entry e = megfwd::fuzz::entryNamed(MEGFWD_FUZZ_HARNESS);
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The library's messages would flood the fuzzer's output.
    megfwd::setMessageBoxHandler([](const std::string&, unsigned type) { return type == MB_YESNO ? IDNO : IDOK; });
    return entry() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        entry()(bytes);
    } catch (const megfwd::InputError&) {
    }
    return 0;
}
