#include "engine/cpus.h"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace tramblix {

namespace {

std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

bool HasItem(std::string_view list, std::string_view item)
{
    const auto items = Split(list, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

unsigned AffinityCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

// One cgroup hierarchy that may hold a CPU quota: where it is mounted, the directory of the mount
// (its root inside the hierarchy) and this process's group in it.
struct Hierarchy {
    std::string mountPoint;
    std::string mountRoot;
    std::string group;
};

// The quota of `group` and of every group above it up to the mount: the smallest applies.
std::optional<unsigned> QuotaOf(const Hierarchy& h, bool version2)
{
    std::string relative = h.group;
    if (h.mountRoot != "/" && relative.rfind(h.mountRoot, 0) == 0 &&
        (relative.size() == h.mountRoot.size() || relative[h.mountRoot.size()] == '/'))
        relative.erase(0, h.mountRoot.size());
    std::optional<unsigned> limit;
    for (std::string directory = h.mountPoint + relative;; directory.erase(directory.rfind('/'))) {
        while (directory.size() > h.mountPoint.size() && directory.back() == '/')
            directory.pop_back();
        std::optional<unsigned> here;
        if (version2) {
            const std::string line = FirstLine(directory + "/cpu.max");
            if (const auto fields = Split(line, ' '); fields.size() == 2)
                here = QuotaCpus(fields[0], fields[1]);
        } else {
            here = QuotaCpus(FirstLine(directory + "/cpu.cfs_quota_us"), FirstLine(directory + "/cpu.cfs_period_us"));
        }
        if (here && (!limit || *here < *limit))
            limit = here;
        if (directory.size() <= h.mountPoint.size())
            return limit;
    }
}

// The smallest quota over the cgroup v2 hierarchy and the v1 "cpu" controller, as
// /proc/self/mountinfo and /proc/self/cgroup place them (a container sees its own group as "/").
std::optional<unsigned> CgroupCpus()
{
    std::string v2Group, v1Group;
    bool haveV2 = false, haveV1 = false;
    {
        std::ifstream in("/proc/self/cgroup");
        for (std::string line; std::getline(in, line);) {
            const auto fields = Split(line, ':');
            if (fields.size() < 3)
                continue;
            const std::string_view path = std::string_view(line).substr(fields[0].size() + fields[1].size() + 2);
            if (fields[0] == "0" && fields[1].empty()) {
                v2Group = path;
                haveV2 = true;
            } else if (HasItem(fields[1], "cpu")) {
                v1Group = path;
                haveV1 = true;
            }
        }
    }
    std::optional<unsigned> limit;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        // ID PARENT MAJ:MIN ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
        const auto fields = Split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || fields.end() - dash < 4)
            continue;
        const std::string_view type = dash[1], superOptions = dash[3];
        std::optional<unsigned> here;
        if (type == "cgroup2" && haveV2)
            here = QuotaOf({std::string(fields[4]), std::string(fields[3]), v2Group}, true);
        else if (type == "cgroup" && haveV1 && HasItem(superOptions, "cpu"))
            here = QuotaOf({std::string(fields[4]), std::string(fields[3]), v1Group}, false);
        if (here && (!limit || *here < *limit))
            limit = here;
    }
    return limit;
}

}  // namespace

std::optional<unsigned> QuotaCpus(std::string_view quota, std::string_view period)
{
    std::int64_t q = 0, p = 0;
    const auto number = [](std::string_view text, std::int64_t& value) {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return !text.empty() && error == std::errc() && end == text.data() + text.size();
    };
    if (!number(quota, q) || !number(period, p) || q <= 0 || p <= 0)
        return std::nullopt;
    const std::int64_t cpus = q / p + (q % p != 0 ? 1 : 0);
    return static_cast<unsigned>(std::min<std::int64_t>(cpus, std::numeric_limits<unsigned>::max()));
}

unsigned UsableCpuCount()
{
    // The quota is looked up once (a few dozen lines of /proc per look); the affinity, one system
    // call, on every call.
    static const std::optional<unsigned> quota = []() -> std::optional<unsigned> {
        try {
            return CgroupCpus();
        } catch (...) {
            return std::nullopt;  // limits that cannot be read (no memory for a line)
        }
    }();
    const unsigned cpus = AffinityCpus();
    return quota ? std::clamp(*quota, 1u, cpus) : cpus;
}

}  // namespace tramblix
