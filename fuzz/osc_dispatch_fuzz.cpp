// Any datagram through the OSC decoder, as the listener hands it over: it must never crash,
// read out of bounds or leak, and whatever it emits must name a real pad or slot.

#include "fuzz_check.h"
#include "oscdispatch.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using remote::CommandKind;
    remote::osc::decodePacket(data, size, [](const remote::RemoteCommand& c) {
        const bool pad = c.kind == CommandKind::PadPlay || c.kind == CommandKind::PadStop ||
                         c.kind == CommandKind::PadFade || c.kind == CommandKind::PadRelease ||
                         c.kind == CommandKind::PadCue;
        FUZZ_CHECK(!pad || (c.number >= 1 && c.number <= remote::osc::kPads));
        // A cue starts (1) or stops (0).
        FUZZ_CHECK(c.kind != CommandKind::PadCue || c.value == 0 || c.value == 1);
        FUZZ_CHECK(c.kind != CommandKind::SetList ||
                   (c.number >= 1 && c.number <= remote::osc::kSetLists));
        // A subscription starts (1), ends (0) or names a port its pushes go to.
        FUZZ_CHECK(c.kind != CommandKind::Subscribe || c.value == 0 || c.value == 1 ||
                   (c.value >= 1024 && c.value <= 65535));
        FUZZ_CHECK(pad || c.kind == CommandKind::SetList || c.kind == CommandKind::StopAll ||
                   c.kind == CommandKind::Status || c.kind == CommandKind::Subscribe);
    });
    return 0;
}
