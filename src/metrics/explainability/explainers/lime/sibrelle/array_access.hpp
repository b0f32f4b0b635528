// Reading numpy arrays from C++: recognising a plain ndarray, dispatching on
// its dtype, and reading its elements safely whatever its strides.
//
// Elements are read with memcpy through the array's own strides, so views,
// negative strides and unaligned buffers are all safe; packed_elements hands
// out the array's memory directly when it already is a packed C-order buffer.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace vorn::sibrelle::kernels {

namespace py = pybind11;

inline bool is_plain_ndarray(py::handle value) {
  auto& api = py::detail::npy_api::get();
  return Py_TYPE(value.ptr()) == api.PyArray_Type_;
}

inline bool native_order(const py::dtype& dtype) {
  const char order = dtype.byteorder();
  if (order == '=' || order == '|') return true;
  const uint16_t probe = 1;
  const bool little = *reinterpret_cast<const uint8_t*>(&probe) == 1;
  return little ? order == '<' : order == '>';
}

template <typename T>
inline T load(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

// A numpy bool is a byte that is True when it is not zero: a view of other
// bytes can hold any value, which is no valid C++ bool. Read as numpy sees it.
template <>
inline bool load<bool>(const char* at) {
  uint8_t byte;
  std::memcpy(&byte, at, sizeof(byte));
  return byte != 0;
}

// Calls `body(T{})` with the C++ type of a numeric dtype; false when the dtype
// is not one of bool, signed/unsigned 8-64 bit integers, float32, float64.
template <typename Body>
inline bool with_numeric_type(const py::dtype& dtype, Body&& body) {
  const auto size = dtype.itemsize();
  switch (dtype.kind()) {
    case 'b':
      if (size == 1) return body(bool{}), true;
      return false;
    case 'i':
      if (size == 1) return body(int8_t{}), true;
      if (size == 2) return body(int16_t{}), true;
      if (size == 4) return body(int32_t{}), true;
      if (size == 8) return body(int64_t{}), true;
      return false;
    case 'u':
      if (size == 1) return body(uint8_t{}), true;
      if (size == 2) return body(uint16_t{}), true;
      if (size == 4) return body(uint32_t{}), true;
      if (size == 8) return body(uint64_t{}), true;
      return false;
    case 'f':
      if (size == 4) return body(float{}), true;
      if (size == 8) return body(double{}), true;
      return false;
    default:
      return false;
  }
}

// The ndarray behind `value`, or a null one (false in a boolean context)
// when it is not a plain ndarray with native byte order.
inline py::array plain_array(py::handle value) {
  if (!is_plain_ndarray(value)) return py::reinterpret_steal<py::array>(py::handle());
  auto array = py::reinterpret_borrow<py::array>(value);
  if (!native_order(array.dtype())) return py::reinterpret_steal<py::array>(py::handle());
  return array;
}

template <typename T>
inline bool is_nan(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    return std::isnan(value);
  } else {
    return false;
  }
}

// How elements of type T are held in a packed buffer: numpy stores a bool
// as one byte holding 0 or 1, read here as uint8_t (std::vector<bool> packs bits).
template <typename T>
using Stored = std::conditional_t<std::is_same_v<T, bool>, uint8_t, T>;

// The elements of `array` in C order as a packed buffer: the array's own
// memory when it already is one, else a copy gathered through the strides.
// Booleans are always copied, as 0 or 1.
template <typename T>
inline const Stored<T>* packed_elements(const py::array& array, std::vector<Stored<T>>& copy) {
  const int flags = array.flags();
  const bool packed = (flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0 &&
                      (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
  if (packed && !std::is_same_v<T, bool>) return static_cast<const Stored<T>*>(array.data());
  const int ndim = static_cast<int>(array.ndim());
  const char* base = static_cast<const char*>(array.data());
  copy.resize(static_cast<size_t>(array.size()));
  std::vector<Py_ssize_t> index(static_cast<size_t>(ndim), 0);
  for (size_t n = 0; n < copy.size(); ++n) {
    Py_ssize_t offset = 0;
    for (int d = 0; d < ndim; ++d) offset += index[static_cast<size_t>(d)] * array.strides(d);
    copy[n] = static_cast<Stored<T>>(load<T>(base + offset));
    for (int d = ndim - 1; d >= 0; --d) {
      if (++index[static_cast<size_t>(d)] < array.shape(d)) break;
      index[static_cast<size_t>(d)] = 0;
    }
  }
  return copy.data();
}

}  // namespace vorn::sibrelle::kernels
