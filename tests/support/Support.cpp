#include "infra/Hex.h"
#include "support/TempDir.h"
#include "support/Text.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qvx::test {

std::string HexOf(std::string_view bytes) {
    std::string hex;
    for (unsigned char c : bytes) {
        hex += HexDigits[c >> 4];
        hex += HexDigits[c & 15];
    }
    return hex;
}

TTempDir::TTempDir() {
    char pattern[] = "/tmp/qvx-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    FPath = std::string(pattern) + "/";
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
}

std::string TTempDir::Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void TTempDir::Write(const std::string& name, const std::string& content) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out << content;
}

} // namespace qvx::test
