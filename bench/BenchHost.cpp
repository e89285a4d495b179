#include "BenchHost.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace qvx {

namespace {

// A terminal lists its SIM as soon as its thread has reached the working loop.
constexpr uint32_t TerminalStartMs = 60000;

} // namespace

TBenchEnv::TBenchEnv()
    : Server(TPgServer::FromEnvironment()), ServiceExe(QVX_SERVICE_PATH),
      SchemaFile(std::string(QVX_SOURCE_DIR) + "/db/schema.sql"), TimeZone(NoonZone()) {}

std::unique_ptr<TBenchDatabase> TBenchEnv::NewDatabase(const std::string& prefix) {
    return std::make_unique<TBenchDatabase>(
        Server, prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(++RunCount),
        SchemaFile);
}

TBenchHost::TBenchHost(const TBenchEnv& env, const std::string& database, int32_t terminals,
                       uint32_t answerDelayMs, const std::string& folderPrefix)
    : FExe(env.ServiceExe) {
    std::string pattern = "/tmp/" + folderPrefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    FDir = pattern + "/";
    for (int32_t i = 0; i < terminals; ++i) {
        auto sim = std::make_unique<TGsmSimulator>();
        sim->SetLinkPath(FDir + "terminal" + std::to_string(i + 1));
        sim->SetAnswerDelayMs(answerDelayMs);
        if (!sim->Start())
            throw std::runtime_error("simulator: " + sim->LastError());
        FSims.push_back(std::move(sim));
    }
    WriteIni(env, database);
    FService.Start(env.ServiceExe, FDir, env.TimeZone);
    for (size_t i = 0; i < FSims.size(); ++i)
        if (!FSims[i]->WaitForCommandCount("at+cmgl", 1, TerminalStartMs))
            throw std::runtime_error("terminal " + std::to_string(i + 1) +
                                     " never reached its working loop; see " + FDir);
}

TBenchHost::~TBenchHost() {
    FService.Stop();
    for (auto& sim : FSims)
        sim->Stop();
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
}

size_t TBenchHost::Submitted() const {
    size_t total = 0;
    for (const auto& sim : FSims)
        total += sim->SubmittedCount();
    return total;
}

bool TBenchHost::InGrace() const {
    const std::string command = FExe + " --status --json --dir " + FDir + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot ask the status of " + FDir);
    std::string status;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        status.append(buffer, n);
    pclose(pipe);
    return status.find("\"grace_until\":null") == std::string::npos;
}

void TBenchHost::WriteIni(const TBenchEnv& env, const std::string& database) const {
    std::ofstream ini(FDir + "QuorvexSMS.ini");
    ini << "[Database]\nHost=" << env.Server.Host << "\nPort=" << env.Server.Port
        << "\nDBName=" << database << "\nUserName=" << env.Server.User
        << "\nPassword=" << env.Server.Password << "\n";
    for (size_t i = 0; i < FSims.size(); ++i)
        ini << "\n[GSMTerminal" << (i == 0 ? std::string() : std::to_string(i + 1))
            << "]\nDevice=" << FSims[i]->LinkPath() << "\nBaudRate=115200\n";
    if (!ini)
        throw std::runtime_error("cannot write the INI file");
}

} // namespace qvx
