#include "zorvo/wire/engine_error.hpp"

namespace zorvo::wire {

EngineError EngineError::backend(std::string message, std::optional<std::string> source) {
    return {Kind::Backend, std::move(message), std::move(source)};
}
EngineError EngineError::invalid_input(std::string message) {
    return {Kind::InvalidInput, std::move(message), std::nullopt};
}
EngineError EngineError::invalid_input(std::string message, std::optional<std::string> source) {
    return {Kind::InvalidInput, std::move(message), std::move(source)};
}
EngineError EngineError::model_not_loaded() { return {Kind::ModelNotLoaded, {}, std::nullopt}; }
EngineError EngineError::overloaded(std::string message, std::optional<std::string> source) {
    return {Kind::Overloaded, std::move(message), std::move(source)};
}
EngineError EngineError::model_load(std::string model, std::string source) {
    return {Kind::ModelLoad, std::move(model), std::move(source)};
}
EngineError EngineError::inference(std::string message, std::optional<std::string> source) {
    return {Kind::Inference, std::move(message), std::move(source)};
}
EngineError EngineError::timeout(std::string message, std::optional<std::string> source) {
    return {Kind::Timeout, std::move(message), std::move(source)};
}
EngineError EngineError::resource_exhausted(std::string message, std::optional<std::string> source) {
    return {Kind::ResourceExhausted, std::move(message), std::move(source)};
}
EngineError EngineError::cancelled(std::string message) {
    return {Kind::Cancelled, std::move(message), std::nullopt};
}

std::string EngineError::display() const {
    switch (kind_) {
        case Kind::Backend: return "Backend error: " + message_;
        case Kind::InvalidInput: return "Invalid input: " + message_;
        case Kind::ModelNotLoaded: return "Model not loaded";
        case Kind::Overloaded: return "System overloaded: " + message_;
        case Kind::ModelLoad: return "Model load error for " + message_ + ": " + source_.value_or("");
        case Kind::Inference: return "Inference error: " + message_;
        case Kind::Timeout: return "Timeout: " + message_;
        case Kind::ResourceExhausted: return "Resource exhausted: " + message_;
        case Kind::Cancelled: return "Cancelled: " + message_;
    }
    return message_;
}

}  // namespace zorvo::wire
