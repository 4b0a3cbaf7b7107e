// The sound servers' sockets, where their client libraries look for them (output.h).
#include "output.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

namespace media {

ServerSockets pipeWireSockets(const Environment& env) {
    ServerSockets s{"PipeWire", {}, true};
    const char* remote = env("PIPEWIRE_REMOTE");
    const std::string name = remote && *remote ? remote : "pipewire-0";
    if (name.front() == '[') {
        s.known = false; // a list of remotes, which later libraries try in turn
        return s;
    }
    if (name.front() == '/') {
        s.paths.push_back(name);
        return s;
    }
    // A variable that is set counts, even empty ("" + "/pipewire-0" is where it looks then).
    const char* dir = env("PIPEWIRE_RUNTIME_DIR");
    if (!dir)
        dir = env("XDG_RUNTIME_DIR");
    if (dir) {
        s.paths.push_back(std::string(dir) + "/" + name);
    } else {
        for (const char* var : {"HOME", "USERPROFILE"})
            if (const char* d = env(var))
                s.paths.push_back(std::string(d) + "/" + name);
    }
    s.paths.push_back("/run/pipewire/" + name); // the system-wide server's, tried last
    return s;
}

ServerSockets jackSockets(const Environment& env) {
    const char* server = env("JACK_DEFAULT_SERVER");
    std::string name = server ? server : "default";
    std::replace(name.begin(), name.end(), '/', '_');
    std::replace(name.begin(), name.end(), '\\', '_');
    const std::string uid = env("JACK_PROMISCUOUS_SERVER") ? "" : "_" + std::to_string(::getuid());
    ServerSockets s{"JACK", {"/dev/shm/jack_" + name + uid + "_0"}, true};
    // Longer than a socket address holds: libjack cuts it short, to a name not followed here.
    s.known = s.paths.front().size() < sizeof(sockaddr_un{}.sun_path);
    return s;
}

std::string missingSocket(const ServerSockets& sockets) {
    if (!sockets.known)
        return {};
    std::string at;
    for (const std::string& path : sockets.paths) {
        struct stat st {};
        // stat(), not lstat(): a link to the server's socket is how a sandbox reaches it.
        if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            return {};
        at += (at.empty() ? "" : " or ") + path;
    }
    return "no " + sockets.server + " socket at " + at;
}

} // namespace media
