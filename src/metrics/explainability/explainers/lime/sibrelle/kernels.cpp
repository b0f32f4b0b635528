// Loops over numpy buffers for the explainer's per-row hot spots: the label
// map of a scoring batch, list <-> array conversion of the raw explanation,
// the outcome pictures and their uint8 form.
//
// Every kernel first checks that it got a plain ndarray (exact type, native
// byte order, a dtype it handles) and otherwise declines, so the caller's
// generic path runs.

#include "metrics/explainability/explainers/lime/sibrelle/array_access.hpp"
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn::sibrelle::kernels {

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

namespace {

// Keeps the cyclic garbage collector from running while nested lists are
// built. An image is tens of thousands of lists; collections triggered by
// their own allocation would move them, still being built, into the older
// generations and end in a full collection of the whole heap, although the
// usual fate of these lists is to be read back into an array and dropped.
// Only C API calls that run no Python code happen meanwhile.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  int was_enabled_;
};

}  // namespace

py::object nested_lists_from_array(py::handle value) {
  py::array array = plain_array(value);
  if (!array || array.ndim() == 0) return py::object();
  const CollectorPause pause;
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

// A whole number clipped to [0, 255], compared in a type wide enough for
// both (255 does not fit int8).
template <typename V>
uint8_t clipped_byte(V v) {
  if constexpr (std::is_signed_v<V>) {
    const int64_t wide = v;
    return static_cast<uint8_t>(wide < 0 ? 0 : (wide > 255 ? 255 : wide));
  } else {
    const uint64_t wide = v;
    return static_cast<uint8_t>(wide > 255 ? 255 : wide);
  }
}

// The pixels of an outcome picture: which of them belong to a shown segment.
// Declines (false) unless the image is 2-D or 3-D numeric, the segment map a
// 2-D integer map of the image's height and width, and every feature a
// (segment id, weight) pair with an int id.
struct OutcomePixels {
  py::array image;
  std::vector<uint8_t> shown;  // per pixel, row-major
  size_t channels = 1;
};

bool outcome_pixels(py::handle image_handle, py::handle segments_handle, py::handle features,
                    OutcomePixels& result) {
  py::array image = plain_array(image_handle);
  py::array segments = plain_array(segments_handle);
  if (!image || !segments) return false;
  if (image.ndim() != 2 && image.ndim() != 3) return false;
  if (segments.ndim() != 2 || segments.shape(0) != image.shape(0) ||
      segments.shape(1) != image.shape(1)) {
    return false;
  }
  const py::dtype segment_type = segments.dtype();
  const char kind = segment_type.kind();
  // Ids are compared as int64: uint64 maps could hold ids beyond that.
  if (!(kind == 'i' || (kind == 'u' && segment_type.itemsize() < 8))) return false;
  if (!with_numeric_type(image.dtype(), [](auto) {})) return false;
  std::vector<int64_t> ids;
  if (!feature_ids(features, ids)) return false;

  const size_t pixels = static_cast<size_t>(image.shape(0) * image.shape(1));
  result.image = image;
  result.channels = image.ndim() == 3 ? static_cast<size_t>(image.shape(2)) : 1;
  result.shown.assign(pixels, 0);
  if (pixels == 0) return true;
  with_numeric_type(segment_type, [&](auto tag) {
    using S = decltype(tag);
    if constexpr (std::is_integral_v<S> && !std::is_same_v<S, bool>) {
      std::vector<Stored<S>> copy;
      const Stored<S>* map = packed_elements<S>(segments, copy);
      const auto [low, high] = std::minmax_element(map, map + pixels);
      const SegmentSet shown(std::move(ids), static_cast<int64_t>(*low),
                             static_cast<int64_t>(*high));
      for (size_t i = 0; i < pixels; ++i) {
        result.shown[i] = shown.contains(static_cast<int64_t>(map[i])) ? 1 : 0;
      }
    }
  });
  return true;
}

}  // namespace

py::object outcome_image(py::handle image_handle, py::handle segments_handle,
                         py::handle features) {
  OutcomePixels outcome;
  if (!outcome_pixels(image_handle, segments_handle, features, outcome)) return py::object();
  const py::array& image = outcome.image;
  std::vector<py::ssize_t> shape(image.shape(), image.shape() + image.ndim());
  py::array_t<double> result(shape);
  if (result.size() == 0) return std::move(result);
  double* out = result.mutable_data();
  const size_t channels = outcome.channels;
  // Every element written once: the image's value or zero.
  with_numeric_type(image.dtype(), [&](auto tag) {
    using T = decltype(tag);
    std::vector<Stored<T>> copy;
    const Stored<T>* values = packed_elements<T>(image, copy);
    for (size_t i = 0; i < outcome.shown.size(); ++i) {
      const bool keep = outcome.shown[i] != 0;
      for (size_t c = 0; c < channels; ++c) {
        const size_t at = i * channels + c;
        out[at] = keep ? static_cast<double>(values[at]) : 0.0;
      }
    }
  });
  return std::move(result);
}

py::object outcome_picture(py::handle image_handle, py::handle segments_handle,
                           py::handle features) {
  OutcomePixels outcome;
  if (!outcome_pixels(image_handle, segments_handle, features, outcome)) return py::object();
  const py::array& image = outcome.image;
  // min() and max() of an empty picture raise; that is numpy's to report.
  if (image.size() == 0) return py::object();
  std::vector<py::ssize_t> shape(image.shape(), image.shape() + image.ndim());
  py::array_t<uint8_t> result(shape);
  uint8_t* out = result.mutable_data();
  const size_t channels = outcome.channels;
  const std::vector<uint8_t>& shown = outcome.shown;
  // Per element: 1 where the pixel is shown.
  std::vector<uint8_t> keep(static_cast<size_t>(image.size()));
  for (size_t i = 0, at = 0; i < shown.size(); ++i) {
    for (size_t c = 0; c < channels; ++c) keep[at++] = shown[i];
  }
  bool converted = false;
  with_numeric_type(image.dtype(), [&](auto tag) {
    using T = decltype(tag);
    using V = Stored<T>;
    std::vector<V> copy;
    const V* values = packed_elements<T>(image, copy);
    const size_t count = keep.size();
    // The float picture is scaled by 255 when all its values lie in [0, 1]
    // (its zeros always do), else clipped. Only the shown values can leave
    // that range; a NaN among them hands the picture to numpy. Whole
    // numbers stop at the first value outside [0, 1]; floats look at all
    // of them for NaN.
    bool unit_range = true;
    bool nan = false;
    constexpr size_t kChunk = 4096;
    for (size_t start = 0; start < count; start += kChunk) {
      const size_t stop = std::min(count, start + kChunk);
      bool outside = false;
      for (size_t k = start; k < stop; ++k) {
        const V v = values[k];
        const bool kept = keep[k] != 0;
        nan |= kept && is_nan(v);
        outside |= kept && !(v >= V(0) && v <= V(1));
      }
      unit_range = unit_range && !outside;
      if (!unit_range && !std::is_floating_point_v<V>) break;
    }
    if (nan) return;
    unit_range = unit_range && !nan;
    if constexpr (std::is_floating_point_v<V>) {
      if (unit_range) {
        // Scaled in double precision, as the float picture is.
        for (size_t k = 0; k < count; ++k) {
          const double v = keep[k] ? static_cast<double>(values[k]) : 0.0;
          out[k] = static_cast<uint8_t>(static_cast<int32_t>(v * 255.0));
        }
      } else {
        // Clipping and truncation give the same in the image's precision.
        for (size_t k = 0; k < count; ++k) {
          const V v = keep[k] ? values[k] : V(0);
          const V clipped = v < V(0) ? V(0) : (v > V(255) ? V(255) : v);
          out[k] = static_cast<uint8_t>(static_cast<int32_t>(clipped));
        }
      }
    } else if (unit_range) {
      // Whole numbers in [0, 1] are 0 or 1: times 255.
      for (size_t k = 0; k < count; ++k) out[k] = (keep[k] && values[k]) ? 255 : 0;
    } else if constexpr (std::is_same_v<V, uint8_t>) {
      for (size_t k = 0; k < count; ++k) out[k] = keep[k] ? values[k] : 0;
    } else {
      // Clipping to [0, 255] is exact without passing through doubles.
      for (size_t k = 0; k < count; ++k) {
        const V v = keep[k] ? values[k] : V(0);
        out[k] = clipped_byte(v);
      }
    }
    converted = true;
  });
  if (!converted) return py::object();
  return std::move(result);
}

// ---------------------------------------------------------------------------
// uint8 conversion

namespace {

// Smallest and largest element, and whether any is NaN (then the extremes
// are meaningless: such arrays go to numpy).
template <typename T>
struct Extremes {
  T low;
  T high;
  bool nan;
};

template <typename T>
Extremes<T> extremes(const T* values, size_t count) {
  // Four independent lanes, so the comparisons do not wait on each other.
  bool nan = false;
  T low[4] = {values[0], values[0], values[0], values[0]};
  T high[4] = {values[0], values[0], values[0], values[0]};
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (size_t lane = 0; lane < 4; ++lane) {
      const T v = values[i + lane];
      nan |= is_nan(v);
      low[lane] = v < low[lane] ? v : low[lane];
      high[lane] = v > high[lane] ? v : high[lane];
    }
  }
  for (; i < count; ++i) {
    const T v = values[i];
    nan |= is_nan(v);
    low[0] = v < low[0] ? v : low[0];
    high[0] = v > high[0] ? v : high[0];
  }
  for (size_t lane = 1; lane < 4; ++lane) {
    low[0] = low[lane] < low[0] ? low[lane] : low[0];
    high[0] = high[lane] > high[0] ? high[lane] : high[0];
  }
  return {low[0], high[0], nan};
}

#if defined(__SSE2__)
// Doubles two at a time. minpd/maxpd differ from the comparisons above only
// for NaN, which is reported separately.
template <>
Extremes<double> extremes<double>(const double* values, size_t count) {
  __m128d low = _mm_set1_pd(values[0]);
  __m128d high = low;
  __m128d unordered = _mm_setzero_pd();
  size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    const __m128d v = _mm_loadu_pd(values + i);
    low = _mm_min_pd(low, v);
    high = _mm_max_pd(high, v);
    unordered = _mm_or_pd(unordered, _mm_cmpunord_pd(v, v));
  }
  double lows[2];
  double highs[2];
  _mm_storeu_pd(lows, low);
  _mm_storeu_pd(highs, high);
  Extremes<double> result{std::min(lows[0], lows[1]), std::max(highs[0], highs[1]),
                          _mm_movemask_pd(unordered) != 0};
  for (; i < count; ++i) {
    const double v = values[i];
    result.nan |= std::isnan(v);
    result.low = v < result.low ? v : result.low;
    result.high = v > result.high ? v : result.high;
  }
  return result;
}
#endif

template <typename T>
py::object to_uint8_typed(const py::array& array) {
  std::vector<Stored<T>> copy;
  const Stored<T>* values = packed_elements<T>(array, copy);
  const size_t count = static_cast<size_t>(array.size());
  std::vector<py::ssize_t> shape(array.shape(), array.shape() + array.ndim());
  py::array_t<uint8_t> converted(shape);
  uint8_t* out = converted.mutable_data();

  if constexpr (std::is_same_v<T, bool>) {
    // A boolean picture always lies in [0, 1]: True * 255.
    for (size_t i = 0; i < count; ++i) out[i] = values[i] ? 255 : 0;
    return std::move(converted);
  } else {
    const Extremes<T> range = extremes<T>(values, count);
    // numpy's NaN -> uint8 cast is platform-defined; leave it to numpy.
    if (range.nan) return py::object();
    if (range.low >= 0 && range.high <= 1) {
      for (size_t i = 0; i < count; ++i) {
        if constexpr (std::is_floating_point_v<T>) {
          // In the array's own precision, truncated through int32.
          out[i] = static_cast<uint8_t>(static_cast<int32_t>(values[i] * static_cast<T>(255)));
        } else {
          out[i] = values[i] ? 255 : 0;
        }
      }
    } else {
      for (size_t i = 0; i < count; ++i) {
        const T v = values[i];
        const T clipped = v < 0 ? T(0) : (v > 255 ? T(255) : v);
        // Through int32: the truncation numpy does, in a form that vectorises.
        out[i] = static_cast<uint8_t>(static_cast<int32_t>(clipped));
      }
    }
    return std::move(converted);
  }
}

}  // namespace

py::object to_uint8(py::handle value) {
  py::array array = plain_array(value);
  if (!array || array.size() == 0) return py::object();
  const py::dtype dtype = array.dtype();
  const char kind = dtype.kind();
  // uint8 needs no conversion; int8 * 255 overflows in numpy, which raises.
  if ((kind == 'u' || kind == 'i') && dtype.itemsize() == 1) return py::object();
  py::object result;
  with_numeric_type(dtype, [&](auto tag) { result = to_uint8_typed<decltype(tag)>(array); });
  return result;
}

}  // namespace vorn::sibrelle::kernels
