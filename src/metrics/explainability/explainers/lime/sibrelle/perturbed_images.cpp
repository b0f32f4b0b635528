// LIME's perturbed images over numpy buffers: reading the image, its hidden
// colours and segment map once, then one copy per run of pixels per image.

#include "metrics/explainability/explainers/lime/sibrelle/perturbed_images.hpp"

#include "metrics/explainability/explainers/lime/sibrelle/array_access.hpp"

#include <algorithm>
#include <cstring>

namespace vorn::sibrelle::kernels {

namespace {

// Same-dtype assignment copies bytes, so any dtype without Python objects
// could be copied; these are the ones images come in.
bool is_numeric_kind(const py::dtype& dtype) {
  const char kind = dtype.kind();
  return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'c';
}

bool same_dtype(const py::array& a, const py::array& b) {
  return py::detail::npy_api::get().PyArray_EquivTypes_(a.dtype().ptr(), b.dtype().ptr());
}

bool same_shape(const py::array& a, const py::array& b) {
  return a.ndim() == b.ndim() && std::equal(a.shape(), a.shape() + a.ndim(), b.shape());
}

py::array c_contiguous(const py::array& array) {
  if ((array.flags() & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0) return array;
  return py::reinterpret_steal<py::array>(array.attr("copy")().release());
}

// The number of distinct ids: through a table over the ids' range when it is
// small, else by sorting a copy.
Py_ssize_t distinct_count(const std::vector<int64_t>& ids) {
  if (ids.empty()) return 0;
  const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
  const uint64_t span = static_cast<uint64_t>(*high) - static_cast<uint64_t>(*low);
  if (span < (uint64_t{1} << 24) && span <= 4 * ids.size()) {
    std::vector<uint8_t> seen(static_cast<size_t>(span) + 1, 0);
    Py_ssize_t count = 0;
    for (int64_t id : ids) {
      uint8_t& slot = seen[static_cast<size_t>(static_cast<uint64_t>(id) -
                                               static_cast<uint64_t>(*low))];
      count += slot == 0;
      slot = 1;
    }
    return count;
  }
  std::vector<int64_t> sorted(ids);
  std::sort(sorted.begin(), sorted.end());
  return std::unique(sorted.begin(), sorted.end()) - sorted.begin();
}

// Segment ids as int64. A uint64 id beyond int64 wraps to a negative value:
// distinct ids stay distinct, and neither form lies in 0..n_features-1.
bool segment_ids(const py::array& segments, std::vector<int64_t>& ids) {
  const py::dtype dtype = segments.dtype();
  if (dtype.kind() != 'i' && dtype.kind() != 'u') return false;
  return with_numeric_type(dtype, [&](auto tag) {
    using S = decltype(tag);
    std::vector<Stored<S>> copy;
    const Stored<S>* values = packed_elements<S>(segments, copy);
    ids.assign(static_cast<size_t>(segments.size()), 0);
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int64_t>(values[i]);
  });
}

std::vector<PixelRun> pixel_runs(const std::vector<int64_t>& ids, Py_ssize_t n_features) {
  std::vector<PixelRun> runs;
  const auto slot_of = [n_features](int64_t id) {
    return id >= 0 && id < n_features ? static_cast<size_t>(id) + 1 : size_t{0};
  };
  for (size_t pixel = 0; pixel < ids.size(); ++pixel) {
    const size_t slot = slot_of(ids[pixel]);
    if (!runs.empty() && runs.back().slot == slot) {
      ++runs.back().count;
    } else {
      runs.push_back({pixel, 1, slot});
    }
  }
  return runs;
}

bool is_zero(const char* item, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (item[i] != 0) return false;
  }
  return true;
}

}  // namespace

bool perturbation_source(py::handle image_handle, py::handle hidden_handle,
                         py::handle segments_handle, PerturbationSource& source) {
  py::array image = plain_array(image_handle);
  py::array hidden = plain_array(hidden_handle);
  py::array segments = plain_array(segments_handle);
  if (!image || !hidden || !segments) return false;
  if (!is_numeric_kind(image.dtype()) || !same_dtype(image, hidden) || !same_shape(image, hidden)) {
    return false;
  }
  // The boolean mask LIME builds has the segment map's shape and selects
  // along the image's leading axes.
  const auto map_axes = segments.ndim();
  if (map_axes < 1 || map_axes > image.ndim() ||
      !std::equal(segments.shape(), segments.shape() + map_axes, image.shape())) {
    return false;
  }
  std::vector<int64_t> ids;
  if (!segment_ids(segments, ids)) return false;

  size_t pixel_items = 1;
  for (auto axis = map_axes; axis < image.ndim(); ++axis) {
    pixel_items *= static_cast<size_t>(image.shape(axis));
  }
  source.image = c_contiguous(image);
  source.hidden = c_contiguous(hidden);
  source.pixel_bytes = pixel_items * static_cast<size_t>(image.itemsize());
  source.image_bytes = static_cast<size_t>(image.nbytes());
  source.n_features = distinct_count(ids);
  source.runs = pixel_runs(ids, source.n_features);
  return true;
}

bool sample_rows(py::handle samples, SampleRows& rows) {
  py::array array = plain_array(samples);
  if (!array || array.ndim() != 2) return false;
  const char kind = array.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u') return false;
  rows.array = array;
  rows.base = static_cast<const char*>(array.data());
  rows.rows = array.shape(0);
  rows.columns = array.shape(1);
  rows.row_stride = array.strides(0);
  rows.column_stride = array.strides(1);
  rows.item_size = static_cast<size_t>(array.itemsize());
  return true;
}

namespace {

// memcpy for the span of a run. Runs of usual segment maps are tens to a few
// hundred bytes, where the library call and its dispatch on the length cost
// more than the copy: those are copied inline, by fixed-size moves, the last
// one overlapping the end. Long runs go to memcpy, whose large-copy path
// writes whole cache lines without reading them first.
inline void copy_span(char* to, const char* from, size_t length) {
  if (length >= 2048) {
    std::memcpy(to, from, length);
  } else if (length >= 16) {
    for (size_t at = 0; at + 16 < length; at += 16) std::memcpy(to + at, from + at, 16);
    std::memcpy(to + length - 16, from + length - 16, 16);
  } else if (length >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + length - 8, from + length - 8, 8);
  } else if (length >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + length - 4, from + length - 4, 4);
  } else if (length > 0) {
    to[0] = from[0];
    if (length > 1) std::memcpy(to + length - 2, from + length - 2, 2);
  }
}

}  // namespace

void build_perturbed_images(const PerturbationSource& source, const SampleRows& rows,
                            Py_ssize_t first, Py_ssize_t count, char* out) {
  // Indexed by whether a run is hidden: which run is hidden is as random as
  // the samples, so it is looked up rather than branched on.
  const char* const sources[2] = {static_cast<const char*>(source.image.data()),
                                  static_cast<const char*>(source.hidden.data())};
  const size_t pixel_bytes = source.pixel_bytes;
  // hidden[1 + f]: feature f is off in the row; hidden[0] stands for ids no
  // feature hides. An integer is zero exactly when all its bytes are.
  std::vector<uint8_t> hidden(static_cast<size_t>(source.n_features) + 1, 0);
  for (Py_ssize_t k = 0; k < count; ++k) {
    const char* row = rows.base + (first + k) * rows.row_stride;
    for (size_t f = 0; f + 1 < hidden.size(); ++f) {
      hidden[f + 1] =
          is_zero(row + static_cast<Py_ssize_t>(f) * rows.column_stride, rows.item_size);
    }
    char* target = out + static_cast<size_t>(k) * source.image_bytes;
    for (const PixelRun& run : source.runs) {
      const size_t at = run.first * pixel_bytes;
      copy_span(target + at, sources[hidden[run.slot]] + at, run.count * pixel_bytes);
    }
  }
}

}  // namespace vorn::sibrelle::kernels
