#include "midimapping.h"

#include <charconv>
#include <sstream>
#include <vector>

namespace remote::midi {

namespace {

constexpr int kFirstDefaultNote = 36;

bool overlaps(const Binding& a, const Binding& b) {
    return a.type == b.type && a.number == b.number &&
           (a.channel == 0 || b.channel == 0 || a.channel == b.channel);
}

std::optional<int> number(const std::string& text, int min, int max) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<Event> parse(const std::uint8_t* bytes, std::size_t size) {
    if (!bytes || size != 3)
        return std::nullopt;
    const std::uint8_t status = bytes[0];
    if (status < 0x80 || bytes[1] > 0x7f || bytes[2] > 0x7f)
        return std::nullopt;
    Event event;
    event.channel = (status & 0x0f) + 1;
    event.number = bytes[1];
    event.value = bytes[2];
    switch (status & 0xf0) {
    case 0x80:
        event.value = 0; // a Note Off's velocity says nothing here
        event.type = EventType::Note;
        return event;
    case 0x90:
        event.type = EventType::Note;
        return event;
    case 0xb0:
        event.type = EventType::Control;
        return event;
    default:
        return std::nullopt;
    }
}

RemoteCommand toCommand(const Event& event) {
    RemoteCommand command;
    command.kind = event.type == EventType::Note ? CommandKind::MidiNote : CommandKind::MidiControl;
    command.source = Source::Midi;
    command.channel = static_cast<std::uint8_t>(event.channel);
    command.number = event.number;
    command.value = event.value;
    return command;
}

std::optional<Event> fromCommand(const RemoteCommand& command) {
    if (command.kind != CommandKind::MidiNote && command.kind != CommandKind::MidiControl)
        return std::nullopt;
    if (command.channel < 1 || command.channel > 16 || command.number < 0 || command.number > 127 ||
        command.value < 0 || command.value > 127)
        return std::nullopt;
    Event event;
    event.type = command.kind == CommandKind::MidiNote ? EventType::Note : EventType::Control;
    event.channel = command.channel;
    event.number = command.number;
    event.value = command.value;
    return event;
}

bool Binding::matches(const Event& event) const {
    return type == event.type && number == event.number &&
           (channel == 0 || channel == event.channel);
}

Mapping Mapping::defaults() {
    Mapping m;
    for (int pad = 1; pad <= kPads; ++pad)
        m.bind({Action::Play, pad}, {EventType::Note, 0, kFirstDefaultNote + pad - 1});
    return m;
}

Target Mapping::targetAt(int index) {
    if (index >= 3 * kPads)
        return {Action::StopAll, 0};
    static constexpr Action kPerPad[3] = {Action::Play, Action::Fade, Action::Volume};
    return {kPerPad[index % 3], index / 3 + 1};
}

int Mapping::indexOf(const Target& target) {
    if (target.action == Action::StopAll)
        return 3 * kPads;
    if (target.pad < 1 || target.pad > kPads)
        return -1;
    const int offset = target.action == Action::Play ? 0 : target.action == Action::Fade ? 1 : 2;
    return (target.pad - 1) * 3 + offset;
}

bool Mapping::bind(const Target& target, const Binding& binding) {
    const int index = indexOf(target);
    if (index < 0 || binding.number < 0 || binding.number > 127 || binding.channel < 0 ||
        binding.channel > 16)
        return false;
    if (target.action == Action::Volume && binding.type != EventType::Control)
        return false;
    for (auto& other : m_bindings)
        if (other && overlaps(*other, binding))
            other.reset();
    m_bindings[static_cast<std::size_t>(index)] = binding;
    return true;
}

void Mapping::unbind(const Target& target) {
    const int index = indexOf(target);
    if (index >= 0)
        m_bindings[static_cast<std::size_t>(index)].reset();
}

std::optional<Binding> Mapping::bindingOf(const Target& target) const {
    const int index = indexOf(target);
    if (index < 0)
        return std::nullopt;
    return m_bindings[static_cast<std::size_t>(index)];
}

std::optional<Effect> Mapping::effectOf(const Event& event) {
    if (event.channel < 1 || event.channel > 16 || event.number < 0 || event.number > 127)
        return std::nullopt;
    int previous = -1;
    if (event.type == EventType::Control) {
        auto& last = m_lastControl[static_cast<std::size_t>(event.channel - 1)]
                                  [static_cast<std::size_t>(event.number)];
        previous = last;
        last = static_cast<std::int8_t>(event.value);
    }
    for (int i = 0; i < kTargets; ++i) {
        const auto& binding = m_bindings[static_cast<std::size_t>(i)];
        if (!binding || !binding->matches(event))
            continue;
        Effect effect{targetAt(i), -1};
        if (effect.target.action == Action::Volume) {
            effect.volume = (event.value * 1000 + 63) / 127;
            return effect;
        }
        // A Note Off, or a button bound to a play let go: the play is released.
        const bool up = event.type == EventType::Note ? event.value == 0
                                                      : event.value < 64 && previous >= 64 &&
                                                            effect.target.action == Action::Play;
        if (up) {
            if (effect.target.action != Action::Play)
                return std::nullopt;
            effect.release = true;
            return effect;
        }
        if (event.type == EventType::Control && !(event.value >= 64 && previous < 64))
            return std::nullopt;
        return effect;
    }
    return std::nullopt;
}

std::string Mapping::toText(const Binding& binding) {
    std::string text = binding.type == EventType::Note ? "note " : "cc ";
    text += std::to_string(binding.number);
    text += binding.channel == 0 ? " any" : " ch " + std::to_string(binding.channel);
    return text;
}

std::optional<Binding> Mapping::fromText(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.size() < 3)
        return std::nullopt;
    Binding binding;
    if (words[0] == "note")
        binding.type = EventType::Note;
    else if (words[0] == "cc")
        binding.type = EventType::Control;
    else
        return std::nullopt;
    const auto n = number(words[1], 0, 127);
    if (!n)
        return std::nullopt;
    binding.number = *n;
    if (words.size() == 3 && words[2] == "any") {
        binding.channel = 0;
        return binding;
    }
    if (words.size() == 4 && words[2] == "ch") {
        const auto channel = number(words[3], 1, 16);
        if (!channel)
            return std::nullopt;
        binding.channel = *channel;
        return binding;
    }
    return std::nullopt;
}

std::string Mapping::keyOf(const Target& target) {
    if (target.action == Action::StopAll)
        return "stopall";
    const char* verb = target.action == Action::Play   ? ".play"
                       : target.action == Action::Fade ? ".fade"
                                                       : ".volume";
    return "pad" + std::to_string(target.pad) + verb;
}

} // namespace remote::midi
