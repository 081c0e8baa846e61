#include "zorvo/common/processors.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace zorvo {
namespace {

std::string_view trimmed(std::string_view text) noexcept {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// A whole positive decimal number taking up all of `text` (surrounding white space aside).
std::optional<std::uint64_t> positive_number(std::string_view text) noexcept {
    text = trimmed(text);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

std::optional<std::size_t> processors_from_quota(std::string_view quota, std::string_view period) noexcept {
    const auto q = positive_number(quota);
    const auto p = positive_number(period);
    if (!q || !p) return std::nullopt;
    return static_cast<std::size_t>(std::max<std::uint64_t>(1, *q / *p + (*q % *p != 0)));
}

// The whole of a small file, or nothing when it cannot be opened (no such cgroup version).
std::optional<std::string> file_text(const char* path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::optional<std::size_t> cgroup_processors() {
    if (auto cpu_max = file_text("/sys/fs/cgroup/cpu.max")) return processors_from_cpu_max(*cpu_max);
    auto quota = file_text("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
    auto period = file_text("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    if (quota && period) return processors_from_cfs(*quota, *period);
    return std::nullopt;
}

std::size_t affinity_processors() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<std::size_t>(CPU_COUNT(&set));
    // A mask wider than cpu_set_t (more than 1024 CPUs): the machine's count is the best guess.
    return std::thread::hardware_concurrency();
}

}  // namespace

std::optional<std::size_t> processors_from_cpu_max(std::string_view cpu_max) noexcept {
    cpu_max = trimmed(cpu_max);
    const auto space = cpu_max.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    return processors_from_quota(cpu_max.substr(0, space), cpu_max.substr(space + 1));
}

std::optional<std::size_t> processors_from_cfs(std::string_view quota_us, std::string_view period_us) noexcept {
    return processors_from_quota(quota_us, period_us);
}

std::size_t available_processors() noexcept {
    std::size_t count = affinity_processors();
    try {
        if (const auto quota = cgroup_processors()) count = std::min(count, *quota);
    } catch (...) {
        // Reading the files could only fail for lack of memory; the affinity count stands.
    }
    return std::max<std::size_t>(1, count);
}

}  // namespace zorvo
