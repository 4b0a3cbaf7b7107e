// Any WebSocket text through the phone panel's message parser: it must never crash or read out
// of bounds, and whatever it accepts must name a real pad (none for stop all) and read back
// as exactly the text it came from.

#include "fuzz_check.h"
#include "panelprotocol.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using remote::panel::Action;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto command = remote::panel::parseMessage(text);
    if (!command)
        return 0;
    if (command->action == Action::StopAll) {
        FUZZ_CHECK(command->pad == 0 && text == "stopall");
        return 0;
    }
    FUZZ_CHECK(command->pad >= 1 && command->pad <= remote::panel::kPads);
    const char* word = command->action == Action::Press     ? "press "
                       : command->action == Action::Fade    ? "fade "
                       : command->action == Action::Release ? "release "
                                                            : "stop ";
    FUZZ_CHECK(text == word + std::to_string(command->pad));
    return 0;
}
