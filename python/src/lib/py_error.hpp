// Errors below the module's entry points travel as values: an exception
// already taken from the interpreter, a lazily described one (type and
// text), or an internal error. They are raised only at the entry points.
#pragma once

#include <source_location>
#include <string>
#include <utility>
#include <variant>

#include "py_compat.hpp"

namespace tolvane::py {

// The module's internal-error exception type (derived from BaseException);
// created when first raised, then kept for the life of the process.
extern PyObject* internal_error_type;

class PyErrorValue {
public:
    // Takes the exception the interpreter has raised; when a C API call failed
    // without raising one, a SystemError stands in for it.
    static PyErrorValue fetch();
    // A Python exception of `type` (a borrowed, immortal exception class such
    // as PyExc_TypeError) with `message`, created only when raised.
    static PyErrorValue lazy(PyObject* type, std::string message);
    // A failed internal check: reports the check's source position and
    // message on standard error and becomes the internal-error exception.
    static PyErrorValue internal(std::string message,
                                 std::source_location where = std::source_location::current());

    PyErrorValue(PyErrorValue&& other) noexcept;
    PyErrorValue& operator=(PyErrorValue&& other) noexcept;
    PyErrorValue(const PyErrorValue&) = delete;
    PyErrorValue& operator=(const PyErrorValue&) = delete;
    ~PyErrorValue();

    // Makes this the interpreter's raised exception; the value is spent.
    void raise() &&;
    // Drops the error without raising it (its exception object, if any, is released).
    void discard() &&;

    // The fetched exception object (borrowed), or nullptr for a lazy or internal error.
    PyObject* exception() const { return exception_; }
    bool is_internal() const { return kind_ == Kind::Internal; }
    // The exception class of a lazy error (borrowed), or nullptr for any other kind.
    PyObject* lazy_type() const { return kind_ == Kind::Lazy ? type_ : nullptr; }
    // The text of a lazy or internal error.
    const std::string& message() const { return message_; }

private:
    enum class Kind { Fetched, Lazy, Internal, Spent };
    PyErrorValue(Kind kind, PyObject* exception, PyObject* type, std::string message)
        : kind_(kind), exception_(exception), type_(type), message_(std::move(message)) {}

    Kind kind_;
    PyObject* exception_;  // owned, Fetched only
    PyObject* type_;       // borrowed, Lazy only
    std::string message_;  // Lazy and Internal
};

// TypeError "'{}' object cannot be converted to '{}'": the qualified name of
// the object's type, then the expected kind ("PyTuple", "PyArray<T, D>", ...).
PyErrorValue conversion_type_error(PyObject* object, const char* expected);

// A value of T or the error that prevented it.
template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(PyErrorValue error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    PyErrorValue& error() { return std::get<1>(state_); }
    PyErrorValue take_error() { return std::move(std::get<1>(state_)); }

private:
    std::variant<T, PyErrorValue> state_;
};

}  // namespace tolvane::py
