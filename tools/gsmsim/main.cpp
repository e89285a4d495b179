// gsmsim: a simulated GSM terminal on a pseudo-terminal for trying the service without
// hardware. Prints the terminal's device, takes commands from stdin (and from a control socket
// with --control), and prints every submitted message as it arrives.
#include "gsmsim/GsmSimulator.h"
#include "gsmsim/SimConsole.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace qvx;

constexpr size_t MaxClients = 8;
constexpr size_t MaxLine = 4096;

struct TOptions {
    std::string Link;
    std::string Pin;
    std::string Control;
    int32_t SimBusy = 0;
    int32_t Baud = 0;
    bool Quiet = false;
};

std::mutex OutputLock;

// One write per message, so that the simulator thread's lines never cut into others.
void WriteAll(int fd, const std::string& text) {
    std::lock_guard lock(OutputLock);
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}

bool ParseCount(const char* text, int32_t& value) {
    std::string_view view(text);
    auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), value);
    return error == std::errc() && end == view.data() + view.size() && value >= 0;
}

void Usage(int fd) {
    WriteAll(fd, "usage: gsmsim [--link PATH] [--pin PIN] [--sim-busy N] [--baud N] [--quiet]\n"
                 "              [--control SOCKET]\n"
                 "       gsmsim --help | --version\n");
}

// --help and --version answer on stdout and succeed, wherever they stand.
bool AnswersAbout(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            Usage(1);
            WriteAll(1, "A scripted GSM terminal on a pseudo-terminal; type help for its "
                        "commands. See gsmsim(1).\n");
            return true;
        }
        if (name == "--version" || name == "-V") {
            WriteAll(1, "gsmsim " QVX_VERSION "\n");
            return true;
        }
    }
    return false;
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        if (name == "--quiet") {
            options.Quiet = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        if (name == "--link")
            options.Link = value;
        else if (name == "--pin")
            options.Pin = value;
        else if (name == "--control")
            options.Control = value;
        else if (name == "--sim-busy") {
            if (!ParseCount(value, options.SimBusy))
                return false;
        } else if (name == "--baud") {
            if (!ParseCount(value, options.Baud))
                return false;
        } else
            return false;
    }
    return true;
}

// A Unix stream socket only its owner can use.
int ListenControl(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        WriteAll(2, "gsmsim: control socket path too long\n");
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A socket left by an earlier run is replaced; anything else at the path is kept.
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            WriteAll(2, "gsmsim: control socket " + path + ": exists and is not a socket\n");
            return -1;
        }
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    mode_t old = umask(0077);
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              listen(fd, 4) == 0;
    umask(old);
    if (!ok) {
        WriteAll(2, "gsmsim: control socket " + path + ": " + std::strerror(errno) + "\n");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Only the same user or root may drive the simulator.
bool TrustedPeer(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return false;
    return credentials.uid == 0 || credentials.uid == getuid();
}

struct TSource {
    int Fd;
    int ReplyFd;
    std::string Buffer;
};

class TProgram {
public:
    TProgram(TGsmSimulator& sim, const TOptions& options) : FConsole(sim), FOptions(options) {}

    int Run(int signalFd, int controlFd);

private:
    // Reads what is there and carries out whole lines; false at end of input.
    bool Serve(TSource& source);
    void Accept(int controlFd);

    TSimConsole FConsole;
    const TOptions& FOptions;
    std::vector<TSource> FSources;
    bool FQuit = false;
};

bool TProgram::Serve(TSource& source) {
    char buffer[1024];
    ssize_t got = read(source.Fd, buffer, sizeof buffer);
    if (got < 0)
        return errno == EINTR || errno == EAGAIN;
    if (got == 0)
        return false;
    source.Buffer.append(buffer, static_cast<size_t>(got));
    size_t end;
    while ((end = source.Buffer.find('\n')) != std::string::npos && !FQuit) {
        std::string line = source.Buffer.substr(0, end);
        source.Buffer.erase(0, end + 1);
        WriteAll(source.ReplyFd, FConsole.Execute(line, FQuit));
    }
    if (source.Buffer.size() > MaxLine) {
        source.Buffer.clear();
        WriteAll(source.ReplyFd, "error: line too long\n");
    }
    return true;
}

void TProgram::Accept(int controlFd) {
    int client = accept4(controlFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    if (!TrustedPeer(client) || FSources.size() > MaxClients) {
        WriteAll(client, "error: refused\n");
        close(client);
        return;
    }
    FSources.push_back({client, client, {}});
}

int TProgram::Run(int signalFd, int controlFd) {
    // Without a control socket, the end of stdin ends the program; with one, stdin may be
    // /dev/null while scripts drive it through the socket.
    FSources.push_back({0, 1, {}});
    while (!FQuit) {
        std::vector<pollfd> fds{{signalFd, POLLIN, 0}, {controlFd, POLLIN, 0}};
        for (const TSource& source : FSources)
            fds.push_back({source.Fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[0].revents & POLLIN)
            return 0; // SIGINT or SIGTERM
        if (controlFd >= 0 && (fds[1].revents & POLLIN))
            Accept(controlFd);
        for (size_t i = FSources.size(); i-- > 0;) {
            if ((fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) == 0 || Serve(FSources[i]))
                continue;
            if (FSources[i].Fd == 0) {
                if (controlFd < 0)
                    return 0;
            } else {
                close(FSources[i].Fd);
            }
            FSources.erase(FSources.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (AnswersAbout(argc, argv))
        return 0;
    TOptions options;
    if (!ParseOptions(argc, argv, options)) {
        Usage(2);
        return 2;
    }
    // SIGINT and SIGTERM arrive through a descriptor; blocked before any thread starts, so
    // that no thread takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    sigdelset(&stopSignals, SIGPIPE);
    int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

    TGsmSimulator sim;
    sim.SetLinkPath(options.Link);
    sim.SetPin(options.Pin);
    sim.SetSimBusyCount(options.SimBusy);
    sim.SetBaudRate(options.Baud);
    if (!options.Quiet)
        sim.SetSubmittedHandler([](const TSubmittedSms& sms) {
            WriteAll(1, DescribeSubmit(sms.View) + (sms.Accepted ? "\n" : " (refused)\n"));
        });
    if (signalFd < 0 || !sim.Start()) {
        WriteAll(2, "gsmsim: cannot start: " + sim.LastError() + "\n");
        return 1;
    }
    int controlFd = options.Control.empty() ? -1 : ListenControl(options.Control);
    if (!options.Control.empty() && controlFd < 0)
        return 1;
    WriteAll(1, "gsmsim: terminal " + sim.SlavePath() +
                    (options.Link.empty() ? "" : " (link " + options.Link + ")") + "\n");
    if (!options.Quiet)
        WriteAll(1, "gsmsim: type help for the commands\n");
    TProgram program(sim, options);
    int status = program.Run(signalFd, controlFd);
    sim.Stop();
    if (controlFd >= 0) {
        close(controlFd);
        unlink(options.Control.c_str());
    }
    WriteAll(1, "gsmsim: stopped\n");
    return status;
}
