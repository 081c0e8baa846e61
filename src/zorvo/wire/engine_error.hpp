#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zorvo::wire {

// The engine's error enumeration. Inside the library only InvalidInput is ever built (from an
// unknown element type); the rest exist so engine-side code can report in the same terms.
class EngineError {
public:
    enum class Kind : std::uint8_t {
        Backend,
        InvalidInput,
        ModelNotLoaded,
        Overloaded,
        ModelLoad,
        Inference,
        Timeout,
        ResourceExhausted,
        Cancelled,
    };

    // `source` is the display text of an underlying error; it never appears in display().
    static EngineError backend(std::string message, std::optional<std::string> source = std::nullopt);
    static EngineError invalid_input(std::string message);
    static EngineError invalid_input(std::string message, std::optional<std::string> source);
    static EngineError model_not_loaded();
    static EngineError overloaded(std::string message, std::optional<std::string> source = std::nullopt);
    // The source is required here and is part of the display text.
    static EngineError model_load(std::string model, std::string source);
    static EngineError inference(std::string message, std::optional<std::string> source = std::nullopt);
    static EngineError timeout(std::string message, std::optional<std::string> source = std::nullopt);
    static EngineError resource_exhausted(std::string message, std::optional<std::string> source = std::nullopt);
    static EngineError cancelled(std::string message);

    Kind kind() const noexcept { return kind_; }
    // The message; for ModelLoad the model name; empty for ModelNotLoaded.
    const std::string& message() const noexcept { return message_; }
    const std::optional<std::string>& source() const noexcept { return source_; }

    std::string display() const;

private:
    EngineError(Kind kind, std::string message, std::optional<std::string> source)
        : kind_(kind), message_(std::move(message)), source_(std::move(source)) {}

    Kind kind_;
    std::string message_;
    std::optional<std::string> source_;
};

}  // namespace zorvo::wire
