#include "infra/Hex.h"
#include "support/ChildProcess.h"
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

std::optional<std::vector<std::string>> QueryJson(const std::string& json,
                                                  const std::vector<std::string>& expressions) {
    static constexpr const char* Script =
        "import json, sys\n"
        "d = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))\n"
        "out = []\n"
        "for e in open(sys.argv[2], 'rb').read().decode().split('\\0'):\n"
        "    v = eval(e)\n"
        "    out.append(v if isinstance(v, str) else json.dumps(v))\n"
        "sys.stdout.buffer.write('\\0'.join(out).encode('utf-8'))\n";
    TTempDir dir;
    dir.Write("value.json", json);
    dir.Write("script.py", Script);
    std::string joined;
    for (const std::string& expression : expressions)
        joined += (joined.empty() ? "" : std::string(1, '\0')) + expression;
    dir.Write("expressions", joined);
    const int exitCode = RunToEnd(
        {{"python3", dir.File("script.py"), dir.File("value.json"), dir.File("expressions")},
         {},
         dir.File("output"),
         dir.File("errors")});
    if (exitCode != 0)
        return std::nullopt;
    const std::string output = dir.Read("output");
    std::vector<std::string> values;
    size_t start = 0;
    for (size_t end; (end = output.find('\0', start)) != std::string::npos; start = end + 1)
        values.push_back(output.substr(start, end - start));
    values.push_back(output.substr(start));
    return values;
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
