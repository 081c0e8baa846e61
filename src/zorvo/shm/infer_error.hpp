#pragma once

#include <string>

namespace zorvo::shm {

// Why an inference through a shared-memory region failed; both region clients report these.
struct InferError {
    enum class Kind {
        Attach,           // the region had to be attached afresh and could not be
        InvalidArgument,  // bad element type name or unrepresentable shape
        Runtime,          // pool exhausted, queue or exchange trouble, engine error, bad result block
        Timeout,          // no matching response in time
        HostError,        // a host callback failed; the host holds the error
    };
    Kind kind;
    std::string message;

    static InferError runtime(std::string text) { return {Kind::Runtime, std::move(text)}; }
};

}  // namespace zorvo::shm
