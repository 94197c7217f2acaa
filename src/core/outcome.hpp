#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

namespace vorn {

// The one error value the engine returns. The engine never throws for these.
struct EngineError {
    // Interrupted: the caller's stop predicate ended the search. Resume: a
    // saved search state does not belong to this search.
    enum class Kind { NoFormula, Dimension, Interrupted, Resume };

    Kind kind = Kind::NoFormula;
    std::size_t max_complexity = 0;  // NoFormula
    std::string text;                // Dimension

    static EngineError no_formula(std::size_t max_complexity) {
        return EngineError{Kind::NoFormula, max_complexity, {}};
    }
    static EngineError dimension(std::string text) {
        return EngineError{Kind::Dimension, 0, std::move(text)};
    }
    static EngineError resume(std::string text) { return EngineError{Kind::Resume, 0, std::move(text)}; }
    static EngineError interrupted() { return EngineError{Kind::Interrupted, 0, "Search interrupted"}; }

    std::string message() const {
        if (kind == Kind::NoFormula)
            return "No formula found up to complexity " + std::to_string(max_complexity);
        return text;
    }
};

inline constexpr const char* kDimensionMessage =
    "Inputs and target vector must be non-empty and equal length.";

// A value or an EngineError.
template <class T>
class Outcome {
public:
    Outcome(T value) : data_(std::move(value)) {}
    Outcome(EngineError error) : data_(std::move(error)) {}

    bool ok() const { return data_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(data_); }
    const T& value() const& { return std::get<0>(data_); }
    T&& value() && { return std::get<0>(std::move(data_)); }
    const EngineError& error() const { return std::get<1>(data_); }

private:
    std::variant<T, EngineError> data_;
};

}  // namespace vorn
