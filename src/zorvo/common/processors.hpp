#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace zorvo {

// Processors this process may use: the CPUs in its affinity mask, further limited by a cgroup CPU
// quota (v2 `cpu.max`, else v1 `cpu.cfs_quota_us`/`cpu.cfs_period_us`). At least 1. Reads a few
// small files, so callers ask once when they size a thread pool, never per call.
std::size_t available_processors() noexcept;

// Whole processors a quota allows, rounded up: ceil(quota / period), at least 1. Nothing when
// there is no quota or the text cannot be read as one.
// v2 `cpu.max`: "<quota> <period>" or "max <period>".
std::optional<std::size_t> processors_from_cpu_max(std::string_view cpu_max) noexcept;
// v1: `cpu.cfs_quota_us` ("-1" for none) and `cpu.cfs_period_us`.
std::optional<std::size_t> processors_from_cfs(std::string_view quota_us, std::string_view period_us) noexcept;

}  // namespace zorvo
