#include "arguments.hpp"

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "dispatch.hpp"

namespace tolvane::py {

namespace {

constexpr std::size_t parameter_count = 5;

// Names as views, so that matching a keyword compares lengths before bytes.
struct Signature {
    const char* full_name;  // "cast_array()"
    std::array<std::string_view, parameter_count> names;
    std::size_t positional;  // the first `positional` names; the rest are keyword-only
    std::array<bool, parameter_count> required;
};

constexpr Signature cast_array_signature{
    "cast_array()",
    {"arr", "target_dtype", "rounding_mode", "out_of_range_mode", "scalar_map_entries"},
    1,
    {true, true, true, false, false}};

constexpr Signature cast_array_into_signature{
    "cast_array_into()",
    {"arr", "out", "rounding_mode", "out_of_range_mode", "scalar_map_entries"},
    2,
    {true, true, true, false, false}};

using Slots = std::array<PyObject*, parameter_count>;

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::array<std::string_view, parameter_count>& names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        text.append(1, '\'').append(names[i]).append(1, '\'');
    }
    return text;
}

std::optional<PyErrorValue> missing_arguments(const Signature& signature, const Slots& slots, bool positional) {
    std::array<std::string_view, parameter_count> missing{};
    std::size_t count = 0;
    const std::size_t first = positional ? 0 : signature.positional;
    const std::size_t last = positional ? signature.positional : parameter_count;
    for (std::size_t i = first; i < last; ++i) {
        if (signature.required[i] && slots[i] == nullptr) missing[count++] = signature.names[i];
    }
    if (count == 0) return std::nullopt;
    std::string message(signature.full_name);
    message.append(" missing ").append(std::to_string(count)).append(" required ");
    message.append(positional ? "positional" : "keyword");
    message.append(count == 1 ? " argument: " : " arguments: ");
    message.append(quoted_list(missing, count));
    return PyErrorValue::lazy(PyExc_TypeError, std::move(message));
}

// The parameter a keyword names: keyword-only names first, then positional ones.
std::optional<std::size_t> parameter_of(const Signature& signature, std::string_view keyword) {
    for (std::size_t i = signature.positional; i < parameter_count; ++i) {
        if (keyword == signature.names[i]) return i;
    }
    for (std::size_t i = 0; i < signature.positional; ++i) {
        if (keyword == signature.names[i]) return i;
    }
    return std::nullopt;
}

std::optional<PyErrorValue> bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, Slots& slots) {
    if (static_cast<std::size_t>(nargs) > signature.positional) {
        return PyErrorValue::lazy(PyExc_TypeError, std::string(signature.full_name) + " takes " +
                                                       std::to_string(signature.positional) +
                                                       " positional arguments but " + std::to_string(nargs) +
                                                       (nargs == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        const auto parameter =
            text != nullptr ? parameter_of(signature, std::string_view(text, static_cast<std::size_t>(size)))
                            : std::nullopt;
        if (!parameter) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.full_name,
                         keyword);
            return PyErrorValue::fetch();
        }
        if (slots[*parameter] != nullptr) {
            return PyErrorValue::lazy(PyExc_TypeError, std::string(signature.full_name) +
                                                           " got multiple values for argument '" +
                                                           std::string(signature.names[*parameter]) + "'");
        }
        slots[*parameter] = args[nargs + k];
    }
    if (auto error = missing_arguments(signature, slots, true)) return error;
    return missing_arguments(signature, slots, false);
}

// An error of exactly TypeError raised while argument `name` was converted
// becomes "argument '{name}': {text}", keeping only the original's cause.
PyErrorValue with_argument_name(std::string_view name, PyErrorValue error) {
    const std::string prefix = "argument '" + std::string(name) + "': ";
    if (error.lazy_type() == PyExc_TypeError) return PyErrorValue::lazy(PyExc_TypeError, prefix + error.message());
    PyObject* original = error.exception();
    if (original == nullptr || !Py_IS_TYPE(original, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        return error;
    }
    PyRef text = PyRef::steal(PyObject_Str(original));
    if (!text) return PyErrorValue::fetch();
    PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
    if (!message) return PyErrorValue::fetch();
    PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, message.get());
    if (replacement == nullptr) return PyErrorValue::fetch();
    PyException_SetCause(replacement, PyException_GetCause(original));
    set_raised_exception(replacement);
    return PyErrorValue::fetch();
}

std::optional<PyErrorValue> check_array(PyObject* object) {
    if (auto error = ensure_numpy_api()) return error;
    if (!PyArray_Check(object)) return conversion_type_error(object, "PyUntypedArray");
    return std::nullopt;
}

Result<std::string_view> string_argument(PyObject* object) {
    if (!PyUnicode_Check(object)) return conversion_type_error(object, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return PyErrorValue::fetch();
    return std::string_view(text, static_cast<std::size_t>(size));
}

// PyRoundingMode and PyOutOfRangeMode: a str parsed by the core's parser,
// whose message becomes a ValueError.
template <class Mode>
Result<Mode> mode_argument(PyObject* object) {
    auto text = string_argument(object);
    if (!text.ok()) return text.take_error();
    auto parsed = Mode::from_str(text.value());
    if (auto* message = std::get_if<std::string>(&parsed)) return PyErrorValue::lazy(PyExc_ValueError, *message);
    return std::get<Mode>(parsed);
}

Result<OutOfRangePolicy> out_of_range_argument(PyObject* object) {
    if (object == nullptr || object == Py_None) return OutOfRangePolicy{};
    auto mode = mode_argument<OutOfRangeMode>(object);
    if (!mode.ok()) return mode.take_error();
    return OutOfRangePolicy{mode.value()};
}

PyObject* scalar_map_argument(PyObject* object) { return object == Py_None ? nullptr : object; }

}  // namespace

PyResult pyfunction_cast_array(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& signature = cast_array_signature;
    Slots slots{};
    if (auto error = bind(signature, args, nargs, kwnames, slots)) return std::move(*error);
    if (auto error = check_array(slots[0])) return with_argument_name(signature.names[0], std::move(*error));
    auto target_dtype = string_argument(slots[1]);
    if (!target_dtype.ok()) return with_argument_name(signature.names[1], target_dtype.take_error());
    auto rounding = mode_argument<RoundingMode>(slots[2]);
    if (!rounding.ok()) return with_argument_name(signature.names[2], rounding.take_error());
    auto out_of_range = out_of_range_argument(slots[3]);
    if (!out_of_range.ok()) return with_argument_name(signature.names[3], out_of_range.take_error());
    return cast_array(slots[0], target_dtype.value(), rounding.value(), out_of_range.value(),
                      scalar_map_argument(slots[4]));
}

PyResult pyfunction_cast_array_into(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& signature = cast_array_into_signature;
    Slots slots{};
    if (auto error = bind(signature, args, nargs, kwnames, slots)) return std::move(*error);
    if (auto error = check_array(slots[0])) return with_argument_name(signature.names[0], std::move(*error));
    if (auto error = check_array(slots[1])) return with_argument_name(signature.names[1], std::move(*error));
    auto rounding = mode_argument<RoundingMode>(slots[2]);
    if (!rounding.ok()) return with_argument_name(signature.names[2], rounding.take_error());
    auto out_of_range = out_of_range_argument(slots[3]);
    if (!out_of_range.ok()) return with_argument_name(signature.names[3], out_of_range.take_error());
    return cast_array_into(slots[0], slots[1], rounding.value(), out_of_range.value(),
                           scalar_map_argument(slots[4]));
}

}  // namespace tolvane::py
