#include "py_error.hpp"

#include <cstdio>
#include <string_view>

namespace tolvane::py {

PyObject* internal_error_type = nullptr;

PyErrorValue PyErrorValue::fetch() {
    PyObject* exception = take_raised_exception();
    if (exception == nullptr) {
        return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return PyErrorValue(Kind::Fetched, exception, nullptr, {});
}

PyErrorValue PyErrorValue::lazy(PyObject* type, std::string message) {
    return PyErrorValue(Kind::Lazy, nullptr, type, std::move(message));
}

PyErrorValue PyErrorValue::internal(std::string message, std::source_location where) {
    // Name the file from the source tree's python/src/lib, not the build machine's path.
    std::string_view file = where.file_name();
    if (const auto at = file.rfind("python/src/lib/"); at != std::string_view::npos) {
        file.remove_prefix(at);
    }
    std::fprintf(stderr, "tolvane internal error at %.*s:%u:%u: %s\n",
                 static_cast<int>(file.size()), file.data(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 message.c_str());
    return PyErrorValue(Kind::Internal, nullptr, nullptr, std::move(message));
}

PyErrorValue::PyErrorValue(PyErrorValue&& other) noexcept
    : kind_(other.kind_),
      exception_(std::exchange(other.exception_, nullptr)),
      type_(other.type_),
      message_(std::move(other.message_)) {
    other.kind_ = Kind::Spent;
}

PyErrorValue& PyErrorValue::operator=(PyErrorValue&& other) noexcept {
    if (this != &other) {
        Py_XDECREF(exception_);
        kind_ = std::exchange(other.kind_, Kind::Spent);
        exception_ = std::exchange(other.exception_, nullptr);
        type_ = other.type_;
        message_ = std::move(other.message_);
    }
    return *this;
}

PyErrorValue::~PyErrorValue() { Py_XDECREF(exception_); }

void PyErrorValue::raise() && {
    switch (kind_) {
        case Kind::Fetched:
            set_raised_exception(std::exchange(exception_, nullptr));
            break;
        case Kind::Lazy: {
            PyObject* text = PyUnicode_DecodeUTF8(message_.data(),
                                                  static_cast<Py_ssize_t>(message_.size()), "replace");
            if (text != nullptr) {
                PyErr_SetObject(type_, text);
                Py_DECREF(text);
            }
            break;
        }
        case Kind::Internal: {
            if (internal_error_type == nullptr) {
                internal_error_type = PyErr_NewExceptionWithDoc(
                    "_tolvane.InternalError",
                    "A broken internal invariant of _tolvane; not an Exception, so that "
                    "`except Exception` does not hide it.",
                    PyExc_BaseException, nullptr);
                if (internal_error_type == nullptr) break;
            }
            PyObject* type = internal_error_type;
            PyObject* text = PyUnicode_DecodeUTF8(message_.data(),
                                                  static_cast<Py_ssize_t>(message_.size()), "replace");
            if (text != nullptr) {
                PyErr_SetObject(type, text);
                Py_DECREF(text);
            }
            break;
        }
        case Kind::Spent:
            PyErr_SetString(PyExc_SystemError, "tolvane: error raised twice");
            break;
    }
    kind_ = Kind::Spent;
}

PyErrorValue conversion_type_error(PyObject* object, const char* expected) {
    std::string type_name = "<failed to extract type name>";
    if (PyObject* qualname = PyType_GetQualName(Py_TYPE(object))) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(qualname, &size)) {
            type_name.assign(text, static_cast<std::size_t>(size));
        }
        Py_DECREF(qualname);
    }
    // A name that can't be read is reported by the placeholder, not raised.
    if (PyErr_Occurred()) PyErr_Clear();
    return PyErrorValue::lazy(PyExc_TypeError,
                              "'" + type_name + "' object cannot be converted to '" + expected + "'");
}

void PyErrorValue::discard() && {
    Py_CLEAR(exception_);
    kind_ = Kind::Spent;
}

}  // namespace tolvane::py
