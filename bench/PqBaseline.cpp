// The memory any program pays for libpq on this machine: resident memory of a program that
// does nothing but open and close one connection to the local PostgreSQL (QVX_PG* variables)
// with the keywords the service uses. The libraries libpq loads (OpenSSL, Kerberos, LDAP with
// GnuTLS) stay mapped and touched afterwards. Prints one table row like service_bench.
#include "BenchDatabase.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace qvx {
namespace {

int64_t StatusKb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stoll(line.substr(field.size() + 1));
    return -1;
}

int RunBaseline() {
    const TPgServer server = TPgServer::FromEnvironment();
    const int64_t beforeKb = StatusKb("VmRSS");
    const char* const keywords[] = {
        "host", "port", "dbname", "user", "password", "connect_timeout", "sslmode", nullptr};
    const char* const values[] = {server.Host.c_str(),
                                  server.Port.c_str(),
                                  server.AdminDatabase.c_str(),
                                  server.User.c_str(),
                                  server.Password.c_str(),
                                  "15",
                                  "prefer",
                                  nullptr};
    {
        const TPgConn conn(PQconnectdbParams(keywords, values, 0));
        if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
            std::fprintf(stderr, "pq_baseline: cannot connect\n");
            return 1;
        }
    }
    std::printf("| Reference: VmRSS of a program that only opens one libpq connection | "
                "%.1f MB (%.1f MB before connecting) | - | - |\n",
                StatusKb("VmRSS") / 1024.0, beforeKb / 1024.0);
    return 0;
}

} // namespace
} // namespace qvx

int main() {
    try {
        return qvx::RunBaseline();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pq_baseline: %s\n", error.what());
        return 1;
    }
}
