#include "tests/support/scratch_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <system_error>

namespace fs = std::filesystem;

namespace tramblix::test {

ScratchDir::ScratchDir(const std::string& purpose)
{
    std::string name = (fs::temp_directory_path() / ("tramblix-" + purpose + "-XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + name);
    path_ = fs::canonical(name);
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

}  // namespace tramblix::test
