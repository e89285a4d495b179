// gsmsim: simulated GSM terminals on pseudo-terminals for trying the service without hardware:
// one, or one for each --link given. Prints each terminal's device, takes commands from stdin
// (and from a control socket with --control), and prints every submitted message as it
// arrives, with its terminal's number when there are several.
#include "gsmsim/GsmSimulator.h"
#include "gsmsim/SimConsole.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
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
// As many terminals as the service drives.
constexpr size_t MaxTerminals = 16;

struct TOptions {
    std::vector<std::string> Links; // one terminal for each; one terminal without a link if none
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
    WriteAll(fd, "usage: gsmsim [--link PATH]... [--pin PIN] [--sim-busy N] [--baud N] [--quiet]\n"
                 "              [--control SOCKET]\n"
                 "       gsmsim --help | --version\n");
}

// --help and --version answer on stdout and succeed, wherever they stand.
bool AnswersAbout(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            Usage(1);
            WriteAll(1, "Scripted GSM terminals on pseudo-terminals, one for each --link; type "
                        "help for the commands. See gsmsim(1).\n");
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
        if (name == "--link") {
            // Two terminals behind one link would take it from each other.
            for (const std::string& link : options.Links)
                if (link == value)
                    return false;
            options.Links.push_back(value);
            if (options.Links.size() > MaxTerminals)
                return false;
        } else if (name == "--pin")
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
    int32_t Terminal = 1; // the terminal this source's lines address
};

class TProgram {
public:
    explicit TProgram(const std::vector<TGsmSimulator*>& sims) : FConsole(sims) {}

    int Run(int signalFd, int controlFd);

private:
    // Reads what is there and carries out whole lines; false at end of input.
    bool Serve(TSource& source);
    void Accept(int controlFd);

    TSimRouter FConsole;
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
        WriteAll(source.ReplyFd, FConsole.Execute(line, source.Terminal, FQuit));
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
    FSources.push_back({client, client, {}, 1});
}

int TProgram::Run(int signalFd, int controlFd) {
    // Without a control socket, the end of stdin ends the program; with one, stdin may be
    // /dev/null while scripts drive it through the socket.
    FSources.push_back({0, 1, {}, 1});
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

// Each terminal is a SIM of its own: the first keeps the simulator's ICCID, so that a
// single-terminal run looks as it always did, the others get one of their own.
std::string IccidOf(size_t terminal) {
    std::string serial = std::to_string(terminal);
    return "89701992" + std::string(11 - serial.size(), '0') + serial;
}

// Likewise an IMSI of its own, which keys the service's daily count of the SIM.
std::string ImsiOf(size_t terminal) {
    std::string serial = std::to_string(terminal);
    return "2509900000" + std::string(5 - serial.size(), '0') + serial;
}

// Starts one terminal for each link (one without a link when none is given); false, with the
// reason on stderr, when one cannot start.
bool StartTerminals(const TOptions& options, std::vector<std::unique_ptr<TGsmSimulator>>& sims) {
    const size_t count = std::max<size_t>(options.Links.size(), 1);
    for (size_t i = 0; i < count; ++i) {
        auto sim = std::make_unique<TGsmSimulator>();
        sim->SetLinkPath(options.Links.empty() ? std::string() : options.Links[i]);
        sim->SetPin(options.Pin);
        sim->SetSimBusyCount(options.SimBusy);
        sim->SetBaudRate(options.Baud);
        if (i > 0) {
            sim->SetIccid(IccidOf(i + 1));
            sim->SetImsi(ImsiOf(i + 1));
        }
        const std::string prefix = count > 1 ? "[" + std::to_string(i + 1) + "] " : "";
        if (!options.Quiet)
            sim->SetSubmittedHandler([prefix](const TSubmittedSms& sms) {
                WriteAll(1, prefix + DescribeSubmit(sms.View) +
                                (sms.Accepted ? "\n" : " (refused)\n"));
            });
        if (!sim->Start()) {
            WriteAll(2, "gsmsim: cannot start: " + sim->LastError() + "\n");
            return false;
        }
        sims.push_back(std::move(sim));
    }
    return true;
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

    if (signalFd < 0) {
        WriteAll(2, std::string("gsmsim: cannot start: ") + std::strerror(errno) + "\n");
        return 1;
    }
    std::vector<std::unique_ptr<TGsmSimulator>> sims;
    if (!StartTerminals(options, sims))
        return 1;
    int controlFd = options.Control.empty() ? -1 : ListenControl(options.Control);
    if (!options.Control.empty() && controlFd < 0)
        return 1;
    for (size_t i = 0; i < sims.size(); ++i) {
        const std::string number = sims.size() > 1 ? std::to_string(i + 1) + ": " : "";
        const std::string link = sims[i]->LinkPath();
        WriteAll(1, "gsmsim: terminal " + number + sims[i]->SlavePath() +
                        (link.empty() ? "" : " (link " + link + ")") + "\n");
    }
    if (!options.Quiet)
        WriteAll(1, "gsmsim: type help for the commands\n");
    std::vector<TGsmSimulator*> consoles;
    for (const auto& sim : sims)
        consoles.push_back(sim.get());
    TProgram program(consoles);
    int status = program.Run(signalFd, controlFd);
    for (const auto& sim : sims)
        sim->Stop();
    if (controlFd >= 0) {
        close(controlFd);
        unlink(options.Control.c_str());
    }
    WriteAll(1, "gsmsim: stopped\n");
    return status;
}
