// Loops over numpy buffers for the explainer's per-row hot spots: the label
// map of a scoring batch, list <-> array conversion of the raw explanation,
// the outcome pictures and their PNG encoding.
//
// Every kernel first checks that it got a plain ndarray (exact type, native
// byte order, a dtype it handles) and otherwise declines, so the caller's
// generic path runs. Elements are read with memcpy through the array's own
// strides, so views, negative strides and unaligned buffers are all safe.
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace vorn::sibrelle::kernels {

namespace {

bool is_plain_ndarray(py::handle value) {
  auto& api = py::detail::npy_api::get();
  return Py_TYPE(value.ptr()) == api.PyArray_Type_;
}

bool native_order(const py::dtype& dtype) {
  const char order = dtype.byteorder();
  if (order == '=' || order == '|') return true;
  const uint16_t probe = 1;
  const bool little = *reinterpret_cast<const uint8_t*>(&probe) == 1;
  return little ? order == '<' : order == '>';
}

template <typename T>
T load(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

// Calls `body(T{})` with the C++ type of a numeric dtype; false when the dtype
// is not one of bool, signed/unsigned 8-64 bit integers, float32, float64.
template <typename Body>
bool with_numeric_type(const py::dtype& dtype, Body&& body) {
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

// The ndarray behind `value`, or an empty array when it is not a plain one
// with native byte order.
py::array plain_array(py::handle value) {
  if (!is_plain_ndarray(value)) return py::array();
  auto array = py::reinterpret_borrow<py::array>(value);
  if (!native_order(array.dtype())) return py::array();
  return array;
}

template <typename T>
bool is_nan(T value) {
  if constexpr (std::is_floating_point_v<T>) {
    return std::isnan(value);
  } else {
    return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Label map

bool unique_max_positions(py::handle probabilities, std::vector<Py_ssize_t>& positions) {
  py::array array = plain_array(probabilities);
  if (!array || array.ndim() != 2) return false;
  const Py_ssize_t rows = array.shape(0);
  const Py_ssize_t cols = array.shape(1);
  // max() of an empty row raises; that error belongs to the generic path.
  if (rows > 0 && cols == 0) return false;
  const char* base = static_cast<const char*>(array.data());
  const Py_ssize_t row_stride = array.strides(0);
  const Py_ssize_t col_stride = array.strides(1);
  positions.assign(static_cast<size_t>(rows), -1);
  return with_numeric_type(array.dtype(), [&](auto tag) {
    using T = decltype(tag);
    for (Py_ssize_t r = 0; r < rows; ++r) {
      const char* row = base + r * row_stride;
      // Built-in max keeps the first item and replaces it only by a larger
      // one: a NaN first stays, NaNs later never compare larger.
      T best = load<T>(row);
      for (Py_ssize_t c = 1; c < cols; ++c) {
        const T value = load<T>(row + c * col_stride);
        if (value > best) best = value;
      }
      if (is_nan(best)) continue;  // a NaN key is never found again
      Py_ssize_t count = 0;
      Py_ssize_t first = -1;
      for (Py_ssize_t c = 0; c < cols && count < 2; ++c) {
        if (load<T>(row + c * col_stride) == best) {
          if (count++ == 0) first = c;
        }
      }
      if (count == 1) positions[static_cast<size_t>(r)] = first;
    }
  });
}

// ---------------------------------------------------------------------------
// Nested lists <-> arrays

namespace {

constexpr size_t kMaxDims = 32;

struct NestedShape {
  std::vector<Py_ssize_t> dims;
  bool any_float = false;
  bool valid = true;
};

// Walks the nested lists once: every level an exact list of the expected
// length, every leaf an exact int that fits int64 or an exact float.
void check_nested(PyObject* value, size_t depth, NestedShape& shape) {
  if (!shape.valid) return;
  if (depth == shape.dims.size()) {
    if (PyFloat_CheckExact(value)) {
      shape.any_float = true;
    } else if (PyLong_CheckExact(value)) {
      int overflow = 0;
      PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0) shape.valid = false;
    } else {
      shape.valid = false;
    }
    return;
  }
  if (!PyList_CheckExact(value) || PyList_GET_SIZE(value) != shape.dims[depth]) {
    shape.valid = false;
    return;
  }
  const Py_ssize_t size = PyList_GET_SIZE(value);
  for (Py_ssize_t i = 0; i < size && shape.valid; ++i) {
    check_nested(PyList_GET_ITEM(value, i), depth + 1, shape);
  }
}

template <typename T>
void fill_nested(PyObject* value, size_t depth, size_t ndim, T*& out) {
  if (depth == ndim) {
    if constexpr (std::is_same_v<T, double>) {
      *out++ = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value)
                                         : static_cast<double>(PyLong_AsLongLong(value));
    } else {
      *out++ = PyLong_AsLongLong(value);
    }
    return;
  }
  const Py_ssize_t size = PyList_GET_SIZE(value);
  for (Py_ssize_t i = 0; i < size; ++i) fill_nested(PyList_GET_ITEM(value, i), depth + 1, ndim, out);
}

template <typename T>
py::object list_from(const char* at, const py::array& array, size_t depth) {
  const Py_ssize_t size = array.shape(depth);
  const Py_ssize_t stride = array.strides(depth);
  PyObject* list = PyList_New(size);
  if (list == nullptr) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::object>(list);
  const bool leaf = depth + 1 == static_cast<size_t>(array.ndim());
  for (Py_ssize_t i = 0; i < size; ++i) {
    const char* item_at = at + i * stride;
    PyObject* item;
    if (!leaf) {
      item = list_from<T>(item_at, array, depth + 1).release().ptr();
    } else if constexpr (std::is_same_v<T, bool>) {
      item = load<bool>(item_at) ? Py_True : Py_False;
      Py_INCREF(item);
    } else if constexpr (std::is_floating_point_v<T>) {
      item = PyFloat_FromDouble(static_cast<double>(load<T>(item_at)));
    } else if constexpr (std::is_signed_v<T>) {
      item = PyLong_FromLongLong(static_cast<long long>(load<T>(item_at)));
    } else {
      item = PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(load<T>(item_at)));
    }
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(list, i, item);
  }
  return owned;
}

}  // namespace

py::object array_from_nested_lists(py::handle value) {
  NestedShape shape;
  PyObject* level = value.ptr();
  while (PyList_CheckExact(level)) {
    const Py_ssize_t size = PyList_GET_SIZE(level);
    // Empty levels and very deep nesting are numpy's business.
    if (size == 0 || shape.dims.size() == kMaxDims) return py::object();
    shape.dims.push_back(size);
    level = PyList_GET_ITEM(level, 0);
  }
  if (shape.dims.empty()) return py::object();
  check_nested(value.ptr(), 0, shape);
  if (!shape.valid) return py::object();
  const std::vector<py::ssize_t> dims(shape.dims.begin(), shape.dims.end());
  if (shape.any_float) {
    py::array_t<double> result(dims);
    double* out = result.mutable_data();
    fill_nested(value.ptr(), 0, dims.size(), out);
    return std::move(result);
  }
  py::array_t<int64_t> result(dims);
  int64_t* out = result.mutable_data();
  fill_nested(value.ptr(), 0, dims.size(), out);
  return std::move(result);
}

py::object nested_lists_from_array(py::handle value) {
  py::array array = plain_array(value);
  if (!array || array.ndim() == 0) return py::object();
  py::object result;
  with_numeric_type(array.dtype(), [&](auto tag) {
    using T = decltype(tag);
    result = list_from<T>(static_cast<const char*>(array.data()), array, 0);
  });
  return result;
}

// ---------------------------------------------------------------------------
// Outcome pictures

namespace {

// Which segment ids are shown: a bitmap over the ids the segment map holds
// when that range is small, a sorted list otherwise.
class SegmentSet {
 public:
  SegmentSet(std::vector<int64_t> ids, int64_t low, int64_t high) : ids_(std::move(ids)) {
    std::sort(ids_.begin(), ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
    low_ = low;
    if (high >= low && static_cast<uint64_t>(high) - static_cast<uint64_t>(low) < (1u << 24)) {
      table_.assign(static_cast<size_t>(high - low) + 1, 0);
      for (int64_t id : ids_) {
        if (id >= low && id <= high) table_[static_cast<size_t>(id - low)] = 1;
      }
      use_table_ = true;
    }
  }
  bool contains(int64_t id) const {
    if (use_table_) return table_[static_cast<size_t>(id - low_)] != 0;
    return std::binary_search(ids_.begin(), ids_.end(), id);
  }

 private:
  std::vector<int64_t> ids_;
  std::vector<uint8_t> table_;
  int64_t low_ = 0;
  bool use_table_ = false;
};

// The segment ids of `features`: false unless it is a list or tuple of
// 2-item tuples/lists whose first item is an int that fits int64.
bool feature_ids(py::handle features, std::vector<int64_t>& ids) {
  PyObject* seq = features.ptr();
  if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
  ids.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(seq, i);
    if (!PyTuple_CheckExact(pair) && !PyList_CheckExact(pair)) return false;
    if (PySequence_Fast_GET_SIZE(pair) != 2) return false;
    PyObject* id = PySequence_Fast_GET_ITEM(pair, 0);
    if (!PyLong_CheckExact(id)) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (overflow != 0) return false;
    ids.push_back(value);
  }
  return true;
}

}  // namespace

py::object outcome_image(py::handle image_handle, py::handle segments_handle,
                         py::handle features) {
  py::array image = plain_array(image_handle);
  py::array segments = plain_array(segments_handle);
  if (!image || !segments) return py::object();
  if (image.ndim() != 2 && image.ndim() != 3) return py::object();
  if (segments.ndim() != 2 || segments.shape(0) != image.shape(0) ||
      segments.shape(1) != image.shape(1)) {
    return py::object();
  }
  const py::dtype segment_type = segments.dtype();
  const char kind = segment_type.kind();
  // Ids are compared as int64: uint64 maps could hold ids beyond that.
  if (!(kind == 'i' || (kind == 'u' && segment_type.itemsize() < 8))) return py::object();
  std::vector<int64_t> ids;
  if (!feature_ids(features, ids)) return py::object();

  const Py_ssize_t height = image.shape(0);
  const Py_ssize_t width = image.shape(1);
  const Py_ssize_t channels = image.ndim() == 3 ? image.shape(2) : 1;
  std::vector<py::ssize_t> shape(image.shape(), image.shape() + image.ndim());
  py::array_t<double> result(shape);
  double* out = result.mutable_data();
  std::fill(out, out + result.size(), 0.0);
  if (result.size() == 0) return std::move(result);

  // The segment map as int64, row-major.
  std::vector<int64_t> map(static_cast<size_t>(height * width));
  const char* segment_base = static_cast<const char*>(segments.data());
  with_numeric_type(segment_type, [&](auto tag) {
    using S = decltype(tag);
    if constexpr (std::is_integral_v<S> && !std::is_same_v<S, bool>) {
      for (Py_ssize_t y = 0; y < height; ++y) {
        const char* row = segment_base + y * segments.strides(0);
        for (Py_ssize_t x = 0; x < width; ++x) {
          map[static_cast<size_t>(y * width + x)] =
              static_cast<int64_t>(load<S>(row + x * segments.strides(1)));
        }
      }
    }
  });
  const auto [low, high] = std::minmax_element(map.begin(), map.end());
  const SegmentSet shown(std::move(ids), *low, *high);

  const char* image_base = static_cast<const char*>(image.data());
  const Py_ssize_t channel_stride = image.ndim() == 3 ? image.strides(2) : 0;
  const bool copied = with_numeric_type(image.dtype(), [&](auto tag) {
    using T = decltype(tag);
    for (Py_ssize_t y = 0; y < height; ++y) {
      const char* row = image_base + y * image.strides(0);
      for (Py_ssize_t x = 0; x < width; ++x) {
        if (!shown.contains(map[static_cast<size_t>(y * width + x)])) continue;
        const char* pixel = row + x * image.strides(1);
        double* target = out + (y * width + x) * channels;
        for (Py_ssize_t c = 0; c < channels; ++c) {
          target[c] = static_cast<double>(load<T>(pixel + c * channel_stride));
        }
      }
    }
  });
  if (!copied) return py::object();
  return std::move(result);
}

// ---------------------------------------------------------------------------
// uint8 conversion and PNG encoding

py::object to_uint8(py::handle value) {
  py::array array = plain_array(value);
  if (!array || array.size() == 0) return py::object();
  const py::dtype dtype = array.dtype();
  const char kind = dtype.kind();
  // uint8 needs no conversion; int8 * 255 overflows in numpy, which raises.
  if ((kind == 'u' || kind == 'i') && dtype.itemsize() == 1) return py::object();

  const int ndim = static_cast<int>(array.ndim());
  std::vector<py::ssize_t> shape(array.shape(), array.shape() + ndim);
  const char* base = static_cast<const char*>(array.data());
  py::object result;
  with_numeric_type(dtype, [&](auto tag) {
    using T = decltype(tag);
    // Visit every element in C order through the strides.
    const bool contiguous = (array.flags() & py::array::c_style) != 0;
    auto for_each = [&](auto&& visit) {
      const Py_ssize_t total = array.size();
      if (contiguous) {
        for (Py_ssize_t n = 0; n < total; ++n) visit(load<T>(base + n * sizeof(T)));
        return;
      }
      std::vector<Py_ssize_t> index(static_cast<size_t>(ndim), 0);
      for (Py_ssize_t n = 0; n < total; ++n) {
        Py_ssize_t offset = 0;
        for (int d = 0; d < ndim; ++d) offset += index[static_cast<size_t>(d)] * array.strides(d);
        visit(load<T>(base + offset));
        for (int d = ndim - 1; d >= 0; --d) {
          if (++index[static_cast<size_t>(d)] < array.shape(d)) break;
          index[static_cast<size_t>(d)] = 0;
        }
      }
    };
    bool has_nan = false;
    T low = load<T>(base);
    T high = low;
    for_each([&](T v) {
      if (is_nan(v)) has_nan = true;
      if (v < low) low = v;
      if (v > high) high = v;
    });
    // numpy's NaN -> uint8 cast is platform-defined; leave it to numpy.
    if (has_nan) return;
    py::array_t<uint8_t> converted(shape);
    uint8_t* out = converted.mutable_data();
    bool unit_range;
    if constexpr (std::is_same_v<T, bool>) {
      unit_range = true;
    } else {
      unit_range = low >= 0 && high <= 1;
    }
    if (unit_range) {
      for_each([&](T v) {
        if constexpr (std::is_floating_point_v<T>) {
          const T scaled = v * static_cast<T>(255);  // in the array's own precision
          *out++ = static_cast<uint8_t>(scaled);
        } else {
          *out++ = v ? 255 : 0;
        }
      });
    } else {
      for_each([&](T v) {
        if constexpr (std::is_floating_point_v<T>) {
          const T clipped = v < 0 ? T(0) : (v > 255 ? T(255) : v);
          *out++ = static_cast<uint8_t>(clipped);
        } else if constexpr (std::is_same_v<T, bool>) {
          *out++ = v ? 1 : 0;
        } else {
          *out++ = v < 0 ? 0 : (v > 255 ? 255 : static_cast<uint8_t>(v));
        }
      });
    }
    result = std::move(converted);
  });
  return result;
}

namespace {

const std::array<uint32_t, 256>& crc_table() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  const auto& table = crc_table();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void put32(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>(value >> 24));
  out.push_back(static_cast<char>(value >> 16));
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value));
}

void put_chunk(std::string& out, const char type[4], const char* data, size_t size) {
  put32(out, static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.append(type, 4);
  if (size > 0) out.append(data, size);
  const auto* typed = reinterpret_cast<const uint8_t*>(out.data() + start);
  put32(out, crc32(typed, size + 4));
}

uint8_t paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  if (pb <= pc) return static_cast<uint8_t>(b);
  return static_cast<uint8_t>(c);
}

// PNG scanlines, each filtered with whichever of the five filters gives the
// smallest sum of absolute (signed) residuals: the usual adaptive choice.
std::string filtered_scanlines(const std::vector<uint8_t>& pixels, size_t height,
                               size_t row_bytes, size_t bpp) {
  std::string out;
  out.reserve(height * (row_bytes + 1));
  std::vector<uint8_t> zero_row(row_bytes, 0);
  std::array<std::vector<uint8_t>, 5> candidates;
  for (auto& candidate : candidates) candidate.resize(row_bytes);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = pixels.data() + y * row_bytes;
    const uint8_t* up = y > 0 ? row - row_bytes : zero_row.data();
    std::array<uint64_t, 5> cost{};
    for (size_t i = 0; i < row_bytes; ++i) {
      const int a = i >= bpp ? row[i - bpp] : 0;
      const int b = up[i];
      const int c = i >= bpp ? up[i - bpp] : 0;
      const uint8_t x = row[i];
      const uint8_t residuals[5] = {
          x, static_cast<uint8_t>(x - a), static_cast<uint8_t>(x - b),
          static_cast<uint8_t>(x - ((a + b) >> 1)), static_cast<uint8_t>(x - paeth(a, b, c))};
      for (int f = 0; f < 5; ++f) {
        candidates[f][i] = residuals[f];
        cost[f] += static_cast<uint64_t>(std::abs(static_cast<int>(static_cast<int8_t>(residuals[f]))));
      }
    }
    const int best = static_cast<int>(std::min_element(cost.begin(), cost.end()) - cost.begin());
    out.push_back(static_cast<char>(best));
    out.append(reinterpret_cast<const char*>(candidates[best].data()), row_bytes);
  }
  return out;
}

}  // namespace

py::object encode_png(py::handle value) {
  py::array array = plain_array(value);
  if (!array) return py::object();
  const py::dtype dtype = array.dtype();
  if (dtype.kind() != 'u' || dtype.itemsize() != 1) return py::object();
  const bool colour = array.ndim() == 3 && array.shape(2) == 3;
  if (!colour && array.ndim() != 2) return py::object();
  const Py_ssize_t height = array.shape(0);
  const Py_ssize_t width = array.shape(1);
  constexpr Py_ssize_t kMaxSide = 0x7FFFFFFF;
  if (height <= 0 || width <= 0 || height > kMaxSide || width > kMaxSide) return py::object();

  const size_t channels = colour ? 3 : 1;
  const size_t row_bytes = static_cast<size_t>(width) * channels;
  std::vector<uint8_t> pixels(static_cast<size_t>(height) * row_bytes);
  const char* base = static_cast<const char*>(array.data());
  const Py_ssize_t channel_stride = colour ? array.strides(2) : 0;
  for (Py_ssize_t y = 0; y < height; ++y) {
    const char* row = base + y * array.strides(0);
    uint8_t* target = pixels.data() + static_cast<size_t>(y) * row_bytes;
    for (Py_ssize_t x = 0; x < width; ++x) {
      const char* pixel = row + x * array.strides(1);
      for (size_t c = 0; c < channels; ++c) {
        *target++ = static_cast<uint8_t>(pixel[static_cast<Py_ssize_t>(c) * channel_stride]);
      }
    }
  }
  const std::string scanlines =
      filtered_scanlines(pixels, static_cast<size_t>(height), row_bytes, channels);

  // Deflate through the interpreter's zlib: fast settings, since the filters
  // already turn flat and black areas into runs.
  py::module_ zlib = py::module_::import("zlib");
  py::object compressor = zlib.attr("compressobj")(1, zlib.attr("DEFLATED"), 15, 8,
                                                   zlib.attr("Z_RLE"));
  py::bytes head = compressor.attr("compress")(py::bytes(scanlines));
  py::bytes tail = compressor.attr("flush")();
  std::string deflated = static_cast<std::string>(head);
  deflated += static_cast<std::string>(tail);

  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  put32(header, static_cast<uint32_t>(width));
  put32(header, static_cast<uint32_t>(height));
  header.push_back(8);                    // bit depth
  header.push_back(colour ? 2 : 0);       // truecolour or greyscale
  header.append(std::string(3, '\0'));    // deflate, adaptive filtering, no interlace
  put_chunk(png, "IHDR", header.data(), header.size());
  put_chunk(png, "IDAT", deflated.data(), deflated.size());
  put_chunk(png, "IEND", nullptr, 0);
  return py::bytes(png);
}

}  // namespace vorn::sibrelle::kernels
