#include "ready_report.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "zorvo/common/system_error.hpp"

namespace zorvo::engine {

Result<ReadyReport, std::string> ReadyReport::publish(const std::vector<std::string>& lines,
                                                      const std::optional<std::string>& ready_file) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    text += "ready\n";
    if (ready_file) {
        const std::string aside = *ready_file + ".tmp";
        {
            std::ofstream out(aside, std::ios::binary | std::ios::trunc);
            out << text;
            out.flush();
            if (!out) return fail("cannot write the ready file '" + aside + "'");
        }
        if (std::rename(aside.c_str(), ready_file->c_str()) != 0) {
            const int code = errno;
            std::remove(aside.c_str());
            return fail("cannot publish the ready file '" + *ready_file + "': " + SystemError::from_errno(code).display());
        }
    }
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return ReadyReport(ready_file);
}

ReadyReport::~ReadyReport() {
    if (ready_file_) ::unlink(ready_file_->c_str());
}

}  // namespace zorvo::engine
