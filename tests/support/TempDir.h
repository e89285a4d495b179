// A fresh directory under /tmp, removed with everything in it when the object goes.
#pragma once

#include <string>

namespace qvx::test {

class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    // The directory with a trailing '/'.
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& name) const { return FPath + name; }
    // Whole content of a file in the directory; empty when missing.
    std::string Read(const std::string& name) const;
    void Write(const std::string& name, const std::string& content) const;

private:
    std::string FPath;
};

} // namespace qvx::test
