#pragma once

#include <filesystem>
#include <string>

namespace tramblix::test {

// A new empty directory under the system's temporary directory ("tramblix-PURPOSE-XXXXXX"),
// removed with all it holds when the object goes. Write access taken away inside is given
// back first, so a test that made a directory read-only still leaves nothing behind.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& purpose);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Canonical: links in the temporary directory's path are resolved.
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace tramblix::test
