#include "zorvo/shm/process_identity.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "zorvo/common/unique_fd.hpp"

namespace zorvo::shm {

namespace {

constexpr unsigned long kTaskExiting = 0x4;   // PF_EXITING in a task's flags
constexpr unsigned long kKillSignal = 1UL << 8;  // SIGKILL's bit in a pending-signal mask

// A small /proc file, whole; empty when unreadable.
std::string read_proc_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return {};
    std::string text(1024, '\0');
    std::size_t used = 0;
    for (;;) {
        const ssize_t got = ::read(fd.get(), text.data() + used, text.size() - used);
        if (got <= 0) break;
        used += static_cast<std::size_t>(got);
        if (used == text.size()) text.resize(text.size() * 2);
    }
    text.resize(used);
    return text;
}

// Field `number` (1-based, as in proc(5)) of a stat line; the name in parentheses may hold
// spaces, so fields are counted from its closing parenthesis (field 3 comes right after it).
std::string_view stat_field(std::string_view stat, unsigned number) {
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos || number < 3) return {};
    std::string_view rest = stat.substr(close + 1);
    for (unsigned field = 3;; ++field) {
        const auto start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return {};
        rest.remove_prefix(start);
        const auto end = rest.find(' ');
        if (field == number) return rest.substr(0, end);
        if (end == std::string_view::npos) return {};
        rest.remove_prefix(end);
    }
}

template <class Number>
std::optional<Number> parse(std::string_view text, int base = 10) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end == text.data()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> pid_namespace_of_self() {
    // Opened and examined with fstat: a plain stat would ask for a newer C library.
    UniqueFd fd(::open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_ino);
}

// A thread that never runs its own code again: exiting, exited, or with a kill pending.
bool thread_is_ending(const std::string& task_dir) {
    const std::string stat = read_proc_file(task_dir + "/stat");
    const std::string_view state = stat_field(stat, 3);
    if (state.empty()) return true;  // already gone
    if (state == "Z" || state == "X" || state == "x") return true;
    if (const auto flags = parse<unsigned long>(stat_field(stat, 9)); flags && (*flags & kTaskExiting) != 0) return true;
    const std::string status = read_proc_file(task_dir + "/status");
    const auto at = status.find("\nSigPnd:");
    if (at == std::string::npos) return false;
    const auto value = std::string_view(status).substr(at + 8);
    const auto begin = value.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return false;
    const auto pending = parse<unsigned long>(value.substr(begin, value.find('\n', begin) - begin), 16);
    return pending && (*pending & kKillSignal) != 0;
}

}  // namespace

std::optional<ProcessIdentity> own_process_identity() {
    const auto pid_namespace = pid_namespace_of_self();
    const auto start = parse<std::uint64_t>(stat_field(read_proc_file("/proc/self/stat"), 22));
    if (!pid_namespace || !start) return std::nullopt;
    return ProcessIdentity{static_cast<std::uint64_t>(::getpid()), *start, *pid_namespace};
}

bool process_is_exiting(const ProcessIdentity& who) {
    if (who.pid == 0 || pid_namespace_of_self() != who.pid_namespace) return false;
    const std::string process = "/proc/" + std::to_string(who.pid);
    if (parse<std::uint64_t>(stat_field(read_proc_file(process + "/stat"), 22)) != who.start_time) return false;
    const std::string tasks = process + "/task";
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(tasks.c_str()), ::closedir);
    if (!dir) return false;
    bool ending = true;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        if (!thread_is_ending(tasks + "/" + entry->d_name)) {
            ending = false;
            break;
        }
    }
    // The start time is read again: the id could have been reused while the threads were read.
    return ending && parse<std::uint64_t>(stat_field(read_proc_file(process + "/stat"), 22)) == who.start_time;
}

}  // namespace zorvo::shm
