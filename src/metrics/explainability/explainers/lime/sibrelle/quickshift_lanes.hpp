// What the quickshift loops share (quickshift_loops.cpp, quickshift_densities.cpp):
// the image held as padded channel planes, and the arithmetic of a few
// pixels side by side ("lanes") against their neighbours.
//
// Lane j of a group is pixel (r, c0 + j). The lanes meet their neighbours
// at the same offsets, each lane with its own running values, so the lanes'
// arithmetic vectorises while every pixel's result is what the one-pixel
// loop of the reference gives. Both sources are compiled with
// -ffp-contract=off: no multiply-add may be fused.
#pragma once

#include "metrics/explainability/explainers/lime/sibrelle/quickshift_loops.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn::sibrelle::quickshift::detail {

// Lanes fill one vector register of the baseline instruction set: wider
// vectors would live in memory between the steps.
constexpr int64_t kVectorBytes = 16;
template <typename T>
constexpr int64_t kLanes = kVectorBytes / static_cast<int64_t>(sizeof(T));
constexpr int64_t kMostLanes = kLanes<float>;

// The lanes as vectors (GCC and Clang vector extensions): element-wise IEEE
// operations, and comparisons that give masks, for choices without branches.
template <typename T>
struct Lanes;
template <>
struct Lanes<double> {
  typedef double Values __attribute__((vector_size(kVectorBytes)));
  typedef int64_t Masks __attribute__((vector_size(kVectorBytes)));
};
template <>
struct Lanes<float> {
  typedef float Values __attribute__((vector_size(kVectorBytes)));
  typedef int32_t Masks __attribute__((vector_size(kVectorBytes)));
};
template <typename T>
using Values = typename Lanes<T>::Values;
template <typename T>
using Masks = typename Lanes<T>::Masks;

template <typename Vector, typename T>
inline Vector load(const T* at) {
  Vector lanes;
  std::memcpy(&lanes, at, sizeof(lanes));
  return lanes;
}

// a < b ? a : b per lane (b where either is NaN), in one instruction where
// there is one: a running minimum then costs one step per update.
template <typename T>
inline Values<T> minimum(Values<T> a, Values<T> b) {
#if defined(__SSE2__)
  if constexpr (std::is_same_v<T, double>) {
    return reinterpret_cast<Values<T>>(
        _mm_min_pd(reinterpret_cast<__m128d>(a), reinterpret_cast<__m128d>(b)));
  } else {
    return reinterpret_cast<Values<T>>(
        _mm_min_ps(reinterpret_cast<__m128>(a), reinterpret_cast<__m128>(b)));
  }
#else
  return a < b ? a : b;
#endif
}

struct Geometry {
  int64_t height;
  int64_t width;
  int64_t channels;
  // The kernel width, limited to what the image holds: offsets beyond it
  // never reach a pixel, and the remaining ones keep their order.
  int64_t row_reach;
  int64_t column_reach;
  int64_t pad;     // padding columns left of column 0
  int64_t stride;  // padded row: pad, the image's columns, column_reach + kMostLanes

  Geometry(int64_t height, int64_t width, int64_t channels, int64_t kernel_width)
      : height(height),
        width(width),
        channels(channels),
        row_reach(std::min(kernel_width, height - 1)),
        column_reach(std::min(kernel_width, width - 1)),
        pad(column_reach),
        stride(2 * column_reach + width + kMostLanes) {}

  // Whether column `column` is a pixel before `end` and the column `offset`
  // away from it lies in the image.
  bool in_image(int64_t column, int64_t offset, int64_t end) const {
    return column < end && column + offset >= 0 && column + offset < width;
  }
  // Whether lanes c0 .. c0 + lanes - 1 are pixels before `end` whose whole
  // window rows lie in the image.
  bool interior(int64_t c0, int64_t lanes, int64_t end) const {
    return c0 - column_reach >= 0 && c0 + lanes <= end && c0 + lanes - 1 + column_reach < width;
  }
};

// The channel planes and the densities, padded so that lanes past the
// image's left and right edges read zeros (which the lanes' masks drop).
template <typename T>
class Layout {
 public:
  explicit Layout(const Geometry& geometry)
      : geometry(geometry),
        planes_(static_cast<size_t>(geometry.channels * geometry.height * geometry.stride), T(0)),
        densities_(static_cast<size_t>(geometry.height * geometry.stride), T(0)) {
    // (c - c_)^2 of the reference, for each column offset.
    for (int64_t dc = -geometry.column_reach; dc <= geometry.column_reach; ++dc) {
      const T offset = static_cast<T>(-dc);
      column_terms_.push_back(Values<T>{} + offset * offset);
    }
  }

  const T* channel_row(int64_t channel, int64_t row) const {
    return planes_.data() + (channel * geometry.height + row) * geometry.stride + geometry.pad;
  }
  T* channel_row(int64_t channel, int64_t row) {
    return planes_.data() + (channel * geometry.height + row) * geometry.stride + geometry.pad;
  }
  const T* density_row(int64_t row) const {
    return densities_.data() + row * geometry.stride + geometry.pad;
  }
  T* density_row(int64_t row) { return densities_.data() + row * geometry.stride + geometry.pad; }
  Values<T> column_term(int64_t dc) const {
    return column_terms_[static_cast<size_t>(dc + geometry.column_reach)];
  }

  const Geometry geometry;

 private:
  std::vector<T> planes_;
  std::vector<T> densities_;
  std::vector<Values<T>> column_terms_;
};

// Lane j's column c0 + j: whether it is a pixel before `end` and its
// neighbour dc columns away lies in the image.
template <typename T>
inline Masks<T> in_image(const Geometry& g, int64_t c0, int64_t dc, int64_t end) {
  using Index = std::remove_reference_t<decltype(Masks<T>()[0])>;
  Masks<T> column;
  for (int64_t j = 0; j < kLanes<T>; ++j) column[j] = static_cast<Index>(c0 + j);
  const Index shifted_width = static_cast<Index>(g.width - dc);
  return (column < static_cast<Index>(end)) & (column >= static_cast<Index>(-dc)) &
         (column < shifted_width);
}

// The squared distances from the lanes' pixels (r, c0 + j) to their
// neighbours (rr, c0 + j + dc), in the reference's order of operations:
// channel differences squared and summed from 0 in channel order, then
// (r - rr)^2, then (c - c_)^2. `Channels` is the image's channel count, or 0
// when it is read at run time.
template <int Channels, typename T>
inline Values<T> squared_distances(const Layout<T>& layout, int64_t r, int64_t rr, int64_t c0,
                                   int64_t dc) {
  const int64_t channels = Channels > 0 ? Channels : layout.geometry.channels;
  Values<T> dist = {};
  for (int64_t channel = 0; channel < channels; ++channel) {
    const Values<T> t = load<Values<T>>(layout.channel_row(channel, r) + c0) -
                        load<Values<T>>(layout.channel_row(channel, rr) + c0 + dc);
    dist = dist + t * t;
  }
  const T row_offset = static_cast<T>(r - rr);
  dist = dist + row_offset * row_offset;
  return dist + layout.column_term(dc);
}

// Calls body(std::integral_constant<int, channels>) with the channel count
// when it is one of the usual ones (grey, Lab), else with 0.
template <typename Body>
void with_channels(const Geometry& g, Body&& body) {
  if (g.channels == 3) {
    body(std::integral_constant<int, 3>());
  } else if (g.channels == 1) {
    body(std::integral_constant<int, 1>());
  } else {
    body(std::integral_constant<int, 0>());
  }
}

// Calls block(c0, std::bool_constant<interior>) for the groups of lanes of
// columns [first, end).
template <typename T, typename Block>
void for_each_group(const Geometry& g, int64_t first, int64_t end, Block&& block) {
  for (int64_t c0 = first; c0 < end; c0 += kLanes<T>) {
    if (g.interior(c0, kLanes<T>, end)) {
      block(c0, std::true_type());
    } else {
      block(c0, std::false_type());
    }
  }
}

// Runs rows(first, end) over bands of rows that together cover the image,
// enough of them to share the work evenly between threads.
template <typename Rows>
void for_row_bands(const TaskRunner& run_tasks, int64_t height, Rows&& rows) {
  constexpr int64_t kBands = 32;
  const int64_t band = std::max<int64_t>(1, (height + kBands - 1) / kBands);
  run_tasks(static_cast<size_t>((height + band - 1) / band), [&](size_t index) {
    const int64_t first = static_cast<int64_t>(index) * band;
    rows(first, std::min(height, first + band));
  });
}

// Adds to every density (holding its noise) the sum of its window's terms,
// in the reference's order. Runs its tasks through `run_tasks`, split for
// `threads` threads.
template <typename T>
void add_densities(Layout<T>& layout, T inv_kernel_size_sqr, size_t threads,
                   const TaskRunner& run_tasks);

}  // namespace vorn::sibrelle::quickshift::detail
