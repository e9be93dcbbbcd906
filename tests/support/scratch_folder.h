// A scratch folder that is the current directory while it lives, and the plain file helpers
// the tests use in it; for the program's tests and the substitute layer's own alike.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace scratch {

// A fresh folder that is the current directory while it lives.
struct ScratchFolder {
    std::filesystem::path previous;
    std::filesystem::path path;
    ScratchFolder() {
        previous = std::filesystem::current_path();
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tagwright-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) != nullptr) {
            path = name.data();
            std::filesystem::current_path(path);
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
        if (!path.empty()) {
            std::filesystem::remove_all(path, ignored);
        }
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

} // namespace scratch
