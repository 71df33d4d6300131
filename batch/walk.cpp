#include "batch/walk.h"

#include <algorithm>
#include <cctype>

#include "batch/texts.h"

namespace fs = std::filesystem;

namespace tramblix {

namespace {

EntryKind KindOf(DirectoryEntry::Type type)
{
    switch (type) {
    case DirectoryEntry::Type::Directory: return EntryKind::Directory;
    case DirectoryEntry::Type::LinkToDirectory: return EntryKind::LinkToDirectory;
    case DirectoryEntry::Type::File:
    case DirectoryEntry::Type::Other: break;
    }
    return EntryKind::Other;
}

std::error_code ListOpenDirectory(const DirectoryHandle& directory, std::vector<ListedEntry>& entries)
{
    std::vector<DirectoryEntry> found;
    const std::error_code error = directory.List(found);
    for (DirectoryEntry& entry : found)
        entries.push_back({std::move(entry.name), KindOf(entry.type), entry.id, entry.error});
    return error;
}

}  // namespace

std::error_code ListDirectory(const fs::path& directory, std::vector<ListedEntry>& entries)
{
    std::error_code error;
    const DirectoryHandle handle = DirectoryHandle::Open(directory, error);
    return error ? error : ListOpenDirectory(handle, entries);
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

bool HasStem(std::string_view name)
{
    return name.rfind('.') != 0;
}

namespace {

class Walker {
public:
    Walker(const WalkOptions& options, const PerFileStep& step, const UnreadableDirectoryStep& unreadable)
        : options_(options), step_(step), unreadable_(unreadable)
    {}

    // `parent` is the open directory that holds this one as `name`; null for the top.
    bool Walk(const std::string& directory, const fs::path& canonical, const DirectoryHandle* parent,
              const std::string& name)
    {
        if (options_.stop.stop_requested())
            return false;
        const std::string listed = directory.empty() ? std::string(1, '/') : directory;
        std::vector<ListedEntry> entries;
        DirectoryHandle self;
        bool complete = true;
        std::error_code error = Open(listed, parent, name, self);
        if (!error && parent && self.IsOpen() && SkippedId(self.Id())) {
            Skip(directory, kOutputDirectoryReason);
            return true;
        }
        if (!error)
            error = List(listed, self, entries);
        if (error) {
            if (unreadable_)
                unreadable_(listed, error);
            complete = false;
        }
        std::sort(entries.begin(), entries.end(),
                  [](const ListedEntry& a, const ListedEntry& b) { return a.name < b.name; });

        if (options_.recurse) {
            for (const ListedEntry& entry : entries) {
                if (entry.kind == EntryKind::LinkToDirectory)
                    Skip(directory + '/' + entry.name, kLinkToDirectoryReason);
                if (entry.kind != EntryKind::Directory || entry.name == "." || entry.name == "..")
                    continue;
                // Built from a canonical root through real directories only, so still canonical.
                const fs::path childCanonical = canonical.empty() ? fs::path() : canonical / entry.name;
                if (Skipped(childCanonical)) {
                    Skip(directory + '/' + entry.name, kOutputDirectoryReason);
                    continue;
                }
                complete = Walk(directory + '/' + entry.name, childCanonical, &self, entry.name) && complete;
                if (options_.stop.stop_requested())
                    return false;
            }
        }
        for (const ListedEntry& entry : entries) {
            if (options_.stop.stop_requested())
                return false;
            if (entry.kind != EntryKind::Other || !Matches(entry.name))
                continue;
            if (options_.inputs && entry.id != FileId{})
                options_.inputs->AddFile(entry.id);
            if (step_)
                step_(directory + '/' + entry.name);
        }
        return complete;
    }

private:
    // A test's own lister opens nothing: `self` stays closed.
    std::error_code Open(const std::string& listed, const DirectoryHandle* parent, const std::string& name,
                         DirectoryHandle& self) const
    {
        if (options_.lister)
            return {};
        std::error_code error;
        // Relative to the parent and without following a link, so the depth of the tree never
        // makes a path too long and a directory swapped for a link is not entered.
        self = parent ? parent->Child(name, false, error) : DirectoryHandle::Open(listed, error);
        return error;
    }

    std::error_code List(const std::string& listed, const DirectoryHandle& self,
                         std::vector<ListedEntry>& entries) const
    {
        if (options_.lister)
            return options_.lister(listed, entries);
        if (options_.inputs)
            options_.inputs->AddDirectory(self.Id());
        return ListOpenDirectory(self, entries);
    }

    void Skip(const std::string& directory, std::string_view reason) const
    {
        if (options_.skipped)
            options_.skipped(directory, reason);
    }

    bool SkippedId(FileId id) const
    {
        return std::find(options_.skipIds.begin(), options_.skipIds.end(), id) != options_.skipIds.end();
    }

    bool Matches(const std::string& name) const
    {
        if (!HasStem(name))
            return false;
        if (options_.masks.empty())
            return MatchesMask(name, options_.mask);
        return std::any_of(options_.masks.begin(), options_.masks.end(),
                           [&](const std::string& mask) { return MatchesMask(name, mask); });
    }

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
    return Walker(options, step, unreadable).Walk(directory, canonical, nullptr, {});
}

}  // namespace tramblix
