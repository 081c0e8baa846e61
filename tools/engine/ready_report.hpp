#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zorvo/common/result.hpp"

namespace zorvo::engine {

// Tells whoever started the engine that it serves: the listener lines and "ready" on stdout and,
// when asked, in a file that appears complete or not at all (written aside, then renamed).
// The file is removed again when the report goes away, since the engine no longer serves then.
class ReadyReport {
public:
    static Result<ReadyReport, std::string> publish(const std::vector<std::string>& lines,
                                                    const std::optional<std::string>& ready_file);
    ~ReadyReport();

    ReadyReport(ReadyReport&& other) noexcept : ready_file_(std::exchange(other.ready_file_, std::nullopt)) {}
    ReadyReport& operator=(ReadyReport&&) = delete;
    ReadyReport(const ReadyReport&) = delete;
    ReadyReport& operator=(const ReadyReport&) = delete;

private:
    explicit ReadyReport(std::optional<std::string> ready_file) : ready_file_(std::move(ready_file)) {}
    std::optional<std::string> ready_file_;
};

}  // namespace zorvo::engine
