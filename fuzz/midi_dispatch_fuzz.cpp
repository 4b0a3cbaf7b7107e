// Any stream of MIDI bytes through the MIDI decoder and the mapping, as the inputs deliver
// messages of one to four bytes, and the same bytes read as a line of the mapping file: nothing
// may crash, and every effect must name a real pad, or stop-all, with a slider level in range.

#include "fuzz_check.h"
#include "midimapping.h"

#include <cstdint>
#include <string>

using namespace remote::midi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Mapping mapping = [] {
        Mapping m = Mapping::defaults();
        m.bind({Action::Volume, 2}, {EventType::Control, 0, 7});
        m.bind({Action::StopAll, 0}, {EventType::Control, 1, 64});
        m.bind({Action::Fade, 8}, {EventType::Note, 10, 50});
        return m;
    }();
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t length = 1 + data[pos] % 4;
        pos += 1;
        if (length > size - pos)
            break;
        if (const auto event = parse(data + pos, length)) {
            const auto back = fromCommand(toCommand(*event));
            FUZZ_CHECK(back && back->number == event->number && back->channel == event->channel);
            if (const auto effect = mapping.effectOf(*back)) {
                const Target& t = effect->target;
                FUZZ_CHECK(t.action == Action::StopAll ? t.pad == 0
                                                       : (t.pad >= 1 && t.pad <= kPads));
                FUZZ_CHECK(t.action != Action::Volume ||
                           (effect->volume >= 0 && effect->volume <= 1000));
            }
        }
        pos += length;
    }
    // The same bytes as a binding in the mapping file: read back, it writes the same text.
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto binding = Mapping::fromText(text)) {
        const auto again = Mapping::fromText(Mapping::toText(*binding));
        FUZZ_CHECK(again && *again == *binding);
    }
    return 0;
}
