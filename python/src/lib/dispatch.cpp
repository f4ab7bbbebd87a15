#include "dispatch.hpp"

#include <string>

namespace tolvane::py {

namespace {

// The key of a plain ndarray read from its descriptor: for NumPy's own
// integer and float type numbers `dtype.name` is the kind's name followed by
// the width in bits, so nothing needs to be looked up in Python.
std::optional<std::size_t> key_from_descriptor(PyObject* arr) {
    if (!Py_IS_TYPE(arr, &PyArray_Type)) return std::nullopt;
    const PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(arr));
    const int type_number = descr->type_num;
    if (!((type_number >= NPY_BYTE && type_number <= NPY_DOUBLE) || type_number == NPY_HALF)) {
        return std::nullopt;
    }
    const npy_intp size = PyDataType_ELSIZE(descr);
    const std::size_t width_rank = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : size == 8 ? 3 : 4;
    if (width_rank == 4) return std::nullopt;
    switch (descr->kind) {
        case 'i':
            return element_index<int8_t> + width_rank;
        case 'u':
            return element_index<uint8_t> + width_rank;
        case 'f':
            if (width_rank == 0) return std::nullopt;
            return element_index<float16> + width_rank - 1;
        default:
            return std::nullopt;
    }
}

template <class S, class... D>
constexpr std::array<const PairDrivers*, element_count> row_of(TypeList<D...>) {
    return {&DriversOf<S, D>::drivers...};
}

template <class... S>
constexpr std::array<std::array<const PairDrivers*, element_count>, element_count> table_of(
    TypeList<S...>) {
    return {row_of<S>(ElementList{})...};
}

// The drivers of each pair, by source index, then target index.
constexpr auto driver_table = table_of(ElementList{});

const PairDrivers& pair_drivers(std::size_t source, std::size_t target) {
    return *driver_table[source][target];
}

PyResult dispatch_alloc(const CallArgs& args, std::size_t source, std::string_view target_dtype) {
    const auto target = match_dtype_key(target_dtype);
    if (!target) return PyErrorValue::lazy(PyExc_TypeError, "Unsupported target dtype: " + std::string(target_dtype));
    CallArgs call = args;
    call.src_name = dtype_keys[source].data();
    call.dst_name = dtype_keys[*target].data();
    const PairDrivers& drivers = pair_drivers(source, *target);
    if (drivers.alloc == nullptr) return PyErrorValue::internal("no allocating driver for this dtype pair");
    return drivers.alloc(call);
}

PyResult dispatch_into(const CallArgs& args, std::size_t source, std::size_t target) {
    CallArgs call = args;
    call.src_name = dtype_keys[source].data();
    call.dst_name = dtype_keys[target].data();
    const PairDrivers& drivers = pair_drivers(source, target);
    if (drivers.into == nullptr) return PyErrorValue::internal("no writing driver for this dtype pair");
    return drivers.into(call);
}

}  // namespace

Result<std::size_t> array_dtype_key(PyObject* arr) {
    if (const auto key = key_from_descriptor(arr)) return *key;
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(arr, "dtype"));
    if (!dtype) return PyErrorValue::fetch();
    PyRef name = PyRef::steal(PyObject_GetAttrString(dtype.get(), "name"));
    if (!name) return PyErrorValue::fetch();
    if (!PyUnicode_Check(name.get())) return conversion_type_error(name.get(), "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) return PyErrorValue::fetch();
    const std::string_view key(text, static_cast<std::size_t>(size));
    if (const auto index = match_dtype_key(key)) return *index;
    return PyErrorValue::lazy(PyExc_TypeError, "Unsupported numpy dtype: " + std::string(key));
}

PyResult cast_array(PyObject* arr, std::string_view target_dtype, RoundingMode rounding_mode,
                    OutOfRangePolicy out_of_range_mode, PyObject* scalar_map_entries) {
    auto source = array_dtype_key(arr);
    if (!source.ok()) return source.take_error();
    const CallArgs args{arr, nullptr, rounding_mode, out_of_range_mode, scalar_map_entries, nullptr, nullptr};
    return dispatch_alloc(args, source.value(), target_dtype);
}

PyResult cast_array_into(PyObject* arr, PyObject* out, RoundingMode rounding_mode,
                         OutOfRangePolicy out_of_range_mode, PyObject* scalar_map_entries) {
    auto source = array_dtype_key(arr);
    if (!source.ok()) return source.take_error();
    auto target = array_dtype_key(out);
    if (!target.ok()) return target.take_error();
    PyArrayObject* input = reinterpret_cast<PyArrayObject*>(arr);
    PyArrayObject* output = reinterpret_cast<PyArrayObject*>(out);
    if (auto mismatch = shape_mismatch(input, output)) return std::move(*mismatch);
    const CallArgs args{arr, out, rounding_mode, out_of_range_mode, scalar_map_entries, nullptr, nullptr};
    return dispatch_into(args, source.value(), target.value());
}

}  // namespace tolvane::py
