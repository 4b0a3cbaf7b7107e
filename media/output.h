#pragma once
// Where the engine's output goes: the sound server's outputs, reached natively (PipeWire,
// PulseAudio, JACK) or through SDL2, and SDL's silent "dummy" driver when no output opens. The
// engine owns one backend and calls it from one thread at a time (the constructing thread,
// then its device watcher), never from the audio thread; tests give the engine a backend of
// their own to lose and return outputs at will.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace media {

// Mixes `frames` interleaved stereo float frames into `out` (the audio thread).
using RenderCallback = void (*)(void* user, float* out, int frames);
// Adds the playbacks that started since the last render to `late`: `frames` frames queued but
// not yet played, the last of them just before the next render's first frame; stops, fades and
// volume changes taken then are applied to those frames too (what is added may be negative).
// Returns the frames it touched (0: nothing changed). The audio thread calls it before a
// render.
using LateStartCallback = int (*)(void* user, float* late, int frames);
// The most frames an output asks a late-start callback to cover.
inline constexpr int kMaxLateFrames = 14336;

struct OutputFormat {
    int rate = 48000; // frames per second
    int period = 128; // frames per callback
};

class OutputBackend {
public:
    using Handle = std::uint32_t; // 0 = none

    virtual ~OutputBackend() = default;

    // Readable names of the sound system's outputs (for PulseAudio and PipeWire, the sinks'
    // descriptions), as far as the backend knows them now: empty while only the silent
    // driver runs.
    virtual std::vector<std::string> devices() = 0;

    // Opens the output `name` ("" = the system's default) for stereo float at `want`, stopped;
    // with `exactRate` the output must take want.rate (SDL converts where the hardware cannot).
    // Returns 0 when it cannot, also when another output must be closed first (a backend may
    // reach only one sound system at a time).
    virtual Handle open(const std::string& name, const OutputFormat& want, bool exactRate,
                        RenderCallback callback, void* user, OutputFormat& got) = 0;
    // Whether an open silent driver can keep open() from reaching an output (SDL's holds
    // SDL's audio): a look for a device then closes it and asks again.
    virtual bool silentBlocksOpen() { return true; }
    // Opens the silent driver: no sound, callbacks on a real-time clock.
    virtual Handle openSilent(const OutputFormat& want, bool exactRate, RenderCallback callback,
                              void* user, OutputFormat& got) = 0;
    // Starts the callbacks; none comes before.
    virtual void start(Handle handle) = 0;
    // True once the output has stopped for good: unplugged, or its sound server gone.
    virtual bool failed(Handle handle) = 0;
    // Closes the output; a callback in progress finishes first.
    virtual void close(Handle handle) = 0;
    // The driver behind `handle` ("pulseaudio", "alsa", "dummy", ...).
    virtual std::string driver(Handle handle) = 0;
    // The calling thread, which used the backend, is about to end: what the backend keeps for
    // it goes.
    virtual void threadDone() {}
    // Dropouts the sound server reported for `handle` since it opened.
    virtual std::uint64_t underruns(Handle) { return 0; }
    // Why the last open() or openSilent() returned 0, in a few words for the program's log
    // ("" = not known).
    virtual std::string openError() { return {}; }
    // Makes the output's buffer one step deeper; returns its new length in frames, or 0 when
    // it cannot go deeper.
    virtual int deepen(Handle) { return 0; }
    // An output with a queue deeper than a period calls `late` (with the user of its render
    // callback) so that a key press sounds before the queue drains; others ignore it.
    virtual void setLateStart(LateStartCallback) {}
    // Later opens go to the sound server `server` (one of kServerNames) only; false when this
    // backend reaches a single one and cannot choose.
    virtual bool chooseServer(const std::string&) { return false; }
};

// The SDL2 backend. Outputs of several engines in one process share SDL's audio subsystem.
std::shared_ptr<OutputBackend> makeSdlBackend();
// A native PipeWire stream; opens nothing while no PipeWire server answers.
std::shared_ptr<OutputBackend> makePipeWireBackend();
// A PulseAudio stream through libpulse's asynchronous API; never starts a server.
std::shared_ptr<OutputBackend> makePulseBackend();
// A JACK client; never starts a server.
std::shared_ptr<OutputBackend> makeJackBackend();

// Where a sound server's client library would connect, worked out from the environment by the
// library's own rules. A look there costs a stat() per path where a try costs a whole client
// (a PipeWire context with its modules and threads, or libjack's shared memory): the device
// search, which asks every few hundred milliseconds while no output plays, passes over a
// server whose socket is not there.
struct ServerSockets {
    std::string server;             // for the log: "PipeWire", "JACK"
    std::vector<std::string> paths; // where the library may connect, in its order
    bool known = true;              // false: the rules do not tell, only a try does
};
// Looks a variable up as std::getenv does; tests give their own.
using Environment = std::function<const char*(const char*)>;
// libpipewire's: PIPEWIRE_REMOTE (a name, or an absolute path), else "pipewire-0", in
// PIPEWIRE_RUNTIME_DIR, else XDG_RUNTIME_DIR, else USERPROFILE (or HOME, where later
// libraries look), then in /run/pipewire. A list of remotes is not followed: the server is
// asked as before. A remote.name set by hand in PipeWire's configuration files (and not in
// PIPEWIRE_REMOTE, which overrides it) is not read: the socket looked for stays pipewire-0.
ServerSockets pipeWireSockets(const Environment& env);
// jackd2's: /dev/shm/jack_<server>_<uid>_0, the server JACK_DEFAULT_SERVER or "default" (its
// slashes as underscores), without the uid while JACK_PROMISCUOUS_SERVER is set.
ServerSockets jackSockets(const Environment& env);
// Why no client of the server can connect ("no PipeWire socket at a or b"); "" while one of
// the paths is a socket, or the paths are not known.
std::string missingSocket(const ServerSockets& sockets);

// Gives the calling thread (one that runs the mixer) real-time scheduling where the system
// grants it; nothing changes where it does not, nor where the thread runs at a higher real-time
// priority already.
void raiseToRealTime();

// The sound servers, as the operator may force one ("" or "auto": the first that answers).
inline constexpr const char* kServerNames[] = {"auto", "pipewire", "pulseaudio", "jack", "sdl"};
// The backend for `server` (one of kServerNames; any other name counts as "auto"): "auto"
// tries, at every open, PipeWire, then PulseAudio, then JACK, then SDL; a named one tries that
// server only; with SDL_AUDIODRIVER set, "auto" is SDL. The silent driver is SDL's in every
// case. chooseServer() changes the choice.
std::shared_ptr<OutputBackend> makeOutputBackend(const std::string& server = "auto");

} // namespace media
