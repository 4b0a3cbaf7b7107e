#include "oscdispatch.h"

#include <lo/lo_lowlevel.h>

#include <array>
#include <cmath>
#include <cstring>

namespace remote::osc {

namespace {

constexpr std::string_view kPrefix = "/cuedeck/";

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

// A decimal number 1..max, without sign, blank or leading zero.
std::optional<int> smallNumber(std::string_view text, int max) {
    if (text.empty() || text.size() > 2 || text[0] == '0')
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > max)
        return std::nullopt;
    return value;
}

enum class Press { Pressed, Released, Invalid };

// No argument, or one number: any number but 0 presses, 0 releases. `number` gets the number
// (1 without one).
Press pressOf(lo_message message, double& number) {
    number = 1;
    const int argc = lo_message_get_argc(message);
    if (argc == 0)
        return Press::Pressed;
    if (argc != 1)
        return Press::Invalid;
    const char* types = lo_message_get_types(message);
    if (!types)
        return Press::Invalid;
    if (types[0] == LO_TRUE || types[0] == LO_FALSE) { // no data of their own
        number = types[0] == LO_TRUE ? 1 : 0;
        return types[0] == LO_TRUE ? Press::Pressed : Press::Released;
    }
    lo_arg** argv = lo_message_get_argv(message);
    if (!argv || !argv[0])
        return Press::Invalid;
    // liblo's arguments are only 4-byte aligned: read them by copying, not through the union.
    const void* arg = argv[0];
    double value = 0;
    switch (types[0]) {
    case LO_INT32: {
        std::int32_t v;
        std::memcpy(&v, arg, sizeof v);
        value = v;
        break;
    }
    case LO_INT64: {
        std::int64_t v;
        std::memcpy(&v, arg, sizeof v);
        value = static_cast<double>(v);
        break;
    }
    case LO_FLOAT: {
        float v;
        std::memcpy(&v, arg, sizeof v);
        value = v;
        break;
    }
    case LO_DOUBLE:
        std::memcpy(&value, arg, sizeof value);
        break;
    default:
        return Press::Invalid;
    }
    if (!std::isfinite(value))
        return Press::Invalid;
    number = value;
    return value != 0 ? Press::Pressed : Press::Released;
}

struct Collected {
    std::array<RemoteCommand, kMaxCommandsPerPacket> commands;
    int count = 0;
};

// A message: its command goes to `out` when its address and arguments fit. False only when
// the datagram is malformed (or names too many commands) and must be dropped whole.
bool decodeMessage(const std::uint8_t* data, std::size_t size, Collected& out) {
    // liblo reads the message from a buffer of its own; the datagram stays untouched.
    alignas(8) std::array<std::uint8_t, kMaxPacketBytes> copy;
    if (size > copy.size())
        return false;
    std::memcpy(copy.data(), data, size);
    int result = 0;
    lo_message message = lo_message_deserialise(copy.data(), size, &result);
    if (!message)
        return false;
    const char* path = reinterpret_cast<const char*>(copy.data());
    const std::string_view address(path, ::strnlen(path, size));
    std::optional<RemoteCommand> command = commandForAddress(address);
    bool ok = true;
    if (command) {
        double number = 1;
        const Press press =
            command->kind == CommandKind::Status ? Press::Pressed : pressOf(message, number);
        // A subscription's 0 ends it, and a port number names where the pushes go; a play's 0
        // is a release; every other command's 0 does nothing.
        if (command->kind == CommandKind::Subscribe && press != Press::Invalid)
            command->value = number >= 1024 && number <= 65535 && number == std::floor(number)
                                 ? static_cast<int>(number)
                                 : (press == Press::Pressed ? 1 : 0);
        // A play's 0 lets the pad go (a hold pad fades out); a cue's 0 stops it.
        if (command->kind == CommandKind::PadPlay && press == Press::Released)
            command->kind = CommandKind::PadRelease;
        const bool takesRelease = command->kind == CommandKind::Subscribe ||
                                  command->kind == CommandKind::PadRelease ||
                                  command->kind == CommandKind::PadCue;
        if (command->kind == CommandKind::PadCue)
            command->value = press == Press::Pressed ? 1 : 0;
        if (press == Press::Pressed || (takesRelease && press == Press::Released)) {
            if (out.count >= kMaxCommandsPerPacket)
                ok = false;
            else
                out.commands[static_cast<std::size_t>(out.count++)] = *command;
        }
    }
    lo_message_free(message);
    return ok;
}

bool decodeElement(const std::uint8_t* data, std::size_t size, int depth, Collected& out) {
    static constexpr char kBundle[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0'};
    if (size == 0 || size % 4 != 0)
        return false;
    if (size >= 8 && std::memcmp(data, kBundle, 8) == 0) {
        // "#bundle", a time tag (ignored: everything acts at once), then elements each
        // preceded by its size.
        if (depth >= kMaxBundleDepth || size < 16)
            return false;
        std::size_t pos = 16;
        while (pos < size) {
            if (size - pos < 4)
                return false;
            const std::uint32_t length = bigEndian32(data + pos);
            pos += 4;
            if (length == 0 || length > size - pos)
                return false;
            if (!decodeElement(data + pos, length, depth + 1, out))
                return false;
            pos += length;
        }
        return true;
    }
    if (data[0] != '/')
        return false;
    return decodeMessage(data, size, out);
}

} // namespace

std::optional<RemoteCommand> commandForAddress(std::string_view address) {
    if (address.substr(0, kPrefix.size()) != kPrefix)
        return std::nullopt;
    std::string_view rest = address.substr(kPrefix.size());
    RemoteCommand command;
    command.source = Source::Osc;
    if (rest == "stopall") {
        command.kind = CommandKind::StopAll;
        return command;
    }
    if (rest == "status") {
        command.kind = CommandKind::Status;
        return command;
    }
    if (rest == "subscribe") {
        command.kind = CommandKind::Subscribe;
        return command;
    }
    constexpr std::string_view kSetList = "setlist/";
    if (rest.substr(0, kSetList.size()) == kSetList) {
        const auto slot = smallNumber(rest.substr(kSetList.size()), kSetLists);
        if (!slot)
            return std::nullopt;
        command.kind = CommandKind::SetList;
        command.number = *slot;
        return command;
    }
    constexpr std::string_view kPad = "pad/";
    if (rest.substr(0, kPad.size()) != kPad)
        return std::nullopt;
    rest = rest.substr(kPad.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const auto pad = smallNumber(rest.substr(0, slash), kPads);
    if (!pad)
        return std::nullopt;
    const std::string_view verb = rest.substr(slash + 1);
    if (verb == "play")
        command.kind = CommandKind::PadPlay;
    else if (verb == "stop")
        command.kind = CommandKind::PadStop;
    else if (verb == "fade")
        command.kind = CommandKind::PadFade;
    else if (verb == "cue")
        command.kind = CommandKind::PadCue;
    else
        return std::nullopt;
    command.number = *pad;
    return command;
}

int decodePacket(const std::uint8_t* data, std::size_t size, const Emit& emit) {
    if (!data || size == 0 || size > kMaxPacketBytes)
        return 0;
    Collected collected;
    if (!decodeElement(data, size, 0, collected))
        return 0;
    for (int i = 0; i < collected.count; ++i)
        emit(collected.commands[static_cast<std::size_t>(i)]);
    return collected.count;
}

} // namespace remote::osc
