#include "batch/walk.h"

#include <algorithm>
#include <cctype>

namespace fs = std::filesystem;

namespace tramblix {

std::error_code ListDirectory(const fs::path& directory, std::vector<ListedEntry>& entries)
{
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    if (ec)
        return ec;
    for (const fs::directory_iterator end; it != end;) {
        ListedEntry entry{it->path().filename().string(), EntryKind::Other};
        std::error_code statusError;
        const fs::file_status own = it->symlink_status(statusError);
        if (fs::is_directory(own))
            entry.kind = EntryKind::Directory;
        else if (fs::is_symlink(own) && fs::is_directory(it->status(statusError)))
            entry.kind = EntryKind::LinkToDirectory;
        entries.push_back(std::move(entry));
        it.increment(ec);
        if (ec)
            return ec;
    }
    return {};
}

bool MatchesMask(std::string_view name, std::string_view mask)
{
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    // Greedy matching with one back-tracking point: the last "*" seen.
    std::size_t n = 0, m = 0;
    std::size_t starMask = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < mask.size() && (mask[m] == '?' || same(mask[m], name[n]))) {
            ++m;
            ++n;
        } else if (starMask != std::string_view::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

namespace {

class Walker {
public:
    Walker(const WalkOptions& options, const PerFileStep& step, const UnreadableDirectoryStep& unreadable)
        : options_(options), step_(step), unreadable_(unreadable)
    {
    }

    bool Walk(const std::string& directory, const fs::path& canonical)
    {
        if (options_.stop.stop_requested())
            return false;
        const std::string listed = directory.empty() ? std::string(1, '/') : directory;
        std::vector<ListedEntry> entries;
        bool complete = true;
        if (const std::error_code error = options_.lister(listed, entries)) {
            if (unreadable_)
                unreadable_(listed, error);
            complete = false;
        }
        std::sort(entries.begin(), entries.end(),
                  [](const ListedEntry& a, const ListedEntry& b) { return a.name < b.name; });

        if (options_.recurse) {
            for (const ListedEntry& entry : entries) {
                if (entry.kind != EntryKind::Directory || entry.name == "." || entry.name == "..")
                    continue;
                // Built from a canonical root through real directories only, so still canonical.
                const fs::path childCanonical = canonical.empty() ? fs::path() : canonical / entry.name;
                if (Skipped(childCanonical))
                    continue;
                complete = Walk(directory + '/' + entry.name, childCanonical) && complete;
                if (options_.stop.stop_requested())
                    return false;
            }
        }
        for (const ListedEntry& entry : entries) {
            if (options_.stop.stop_requested())
                return false;
            if (entry.kind == EntryKind::Other && MatchesMask(entry.name, options_.mask) && step_)
                step_(directory + '/' + entry.name);
        }
        return complete;
    }

private:
    bool Skipped(const fs::path& canonical) const
    {
        return !canonical.empty() && std::find(options_.skipDirectories.begin(), options_.skipDirectories.end(),
                                               canonical) != options_.skipDirectories.end();
    }

    const WalkOptions& options_;
    const PerFileStep& step_;
    const UnreadableDirectoryStep& unreadable_;
};

}  // namespace

bool WalkDirectory(const std::string& directory, const WalkOptions& options, const PerFileStep& step,
                   const UnreadableDirectoryStep& unreadable)
{
    fs::path canonical;
    if (!options.skipDirectories.empty()) {
        std::error_code ec;
        canonical = fs::weakly_canonical(directory.empty() ? fs::path("/") : fs::path(directory), ec);
        if (ec)
            canonical.clear();
    }
    return Walker(options, step, unreadable).Walk(directory, canonical);
}

}  // namespace tramblix
