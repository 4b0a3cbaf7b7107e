// Any datagram through the OSC decoder, as the listener hands it over: it must never crash,
// read out of bounds or leak, and whatever it emits must name a real pad or slot.

#include "oscdispatch.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using remote::CommandKind;
    remote::osc::decodePacket(data, size, [](const remote::RemoteCommand& c) {
        bool valid = false;
        switch (c.kind) {
        case CommandKind::PadPlay:
        case CommandKind::PadStop:
        case CommandKind::PadFade:
            valid = c.number >= 1 && c.number <= remote::osc::kPads;
            break;
        case CommandKind::SetList:
            valid = c.number >= 1 && c.number <= remote::osc::kSetLists;
            break;
        case CommandKind::StopAll:
        case CommandKind::Status:
            valid = true;
            break;
        default:
            break;
        }
        if (!valid)
            std::abort();
    });
    return 0;
}
