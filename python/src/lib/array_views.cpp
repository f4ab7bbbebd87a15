#include "array_views.hpp"

#include <string>

namespace tolvane::py {

PyErrorValue cast_error_to_pyerr(const CastError& error) {
    std::string text;
    const bool rendered = CastError::fmt(error, [&text](std::string_view part) {
        text.append(part);
        return true;
    });
    if (!rendered) return PyErrorValue::internal("a conversion error could not be displayed");
    return PyErrorValue::lazy(PyExc_ValueError, std::move(text));
}

}  // namespace tolvane::py
