#include "panelprotocol.h"

namespace remote::panel {

std::optional<Command> parseMessage(std::string_view text) {
    if (text.size() > kMaxMessage)
        return std::nullopt;
    if (text == "stopall")
        return Command{Action::StopAll, 0};
    struct Word {
        std::string_view name;
        Action action;
    };
    static constexpr Word kWords[] = {{"press ", Action::Press},
                                      {"fade ", Action::Fade},
                                      {"stop ", Action::Stop},
                                      {"release ", Action::Release}};
    for (const Word& word : kWords) {
        if (!text.starts_with(word.name))
            continue;
        const std::string_view number = text.substr(word.name.size());
        // One digit, 1..8: no sign, no leading zero, no trailing text.
        if (number.size() != 1 || number[0] < '1' || number[0] > '0' + kPads)
            return std::nullopt;
        return Command{word.action, number[0] - '0'};
    }
    return std::nullopt;
}

} // namespace remote::panel
