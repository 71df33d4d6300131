#pragma once

#include <optional>
#include <string_view>

namespace tramblix {

// The CPUs this process may run on: those its affinity mask allows (taskset, a cpuset), fewer
// when a cgroup CPU quota (cgroup v2 cpu.max, v1 cpu.cfs_quota_us) grants less time, rounded
// up. At least 1. The affinity is read on each call, the quota on the first.
unsigned UsableCpuCount();

// The CPUs a quota of `quota` microseconds per `period` grants, rounded up; nothing for no limit
// ("max", -1) or text that is not a quota. The two fields of cgroup v2 cpu.max, or v1's
// cpu.cfs_quota_us and cpu.cfs_period_us.
std::optional<unsigned> QuotaCpus(std::string_view quota, std::string_view period);

}  // namespace tramblix
