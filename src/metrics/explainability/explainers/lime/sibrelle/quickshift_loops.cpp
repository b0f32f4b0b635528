// Quickshift's loops, giving scikit-image's results bit for bit.
//
// What has to match, and how it does:
// - The arithmetic, in the image's float type T with the reference's
//   operations in its order (quickshift_lanes.hpp: squared_distances); the
//   product with -0.5 / kernel_size^2 in T; the C library's exp in double;
//   each exponential added to the density in double and rounded to T
//   (quickshift_densities.cpp). Compiled with -ffp-contract=off.
// - The neighbours' order: rows ascending, then columns ascending, so every
//   density is the same sum in the same order, and the parent is the first
//   nearest neighbour of higher density in that order.
// - The forest flattened to the roots, which numpy.unique's inverse numbers
//   in pixel order.
#include "metrics/explainability/explainers/lime/sibrelle/quickshift_lanes.hpp"

#include <cmath>

namespace vorn::sibrelle::quickshift {

namespace {

using namespace detail;

template <typename T>
T closest_start() {
  // The reference starts from DBL_MAX held in T, which is infinity for float.
  if constexpr (std::is_same_v<T, float>) {
    return std::numeric_limits<float>::infinity();
  } else {
    return std::numeric_limits<double>::max();
  }
}

// The planes, and the densities' starting values (`densities += noise` on
// zeros).
template <typename T>
void fill(Layout<T>& layout, const ScaledImage<T>& image, const T* noise) {
  const Geometry& g = layout.geometry;
  for (int64_t r = 0; r < g.height; ++r) {
    for (int64_t channel = 0; channel < g.channels; ++channel) {
      T* plane = layout.channel_row(channel, r);
      const T* pixel = image.values + r * g.width * g.channels + channel;
      for (int64_t c = 0; c < g.width; ++c) plane[c] = pixel[c * g.channels];
    }
    T* densities = layout.density_row(r);
    for (int64_t c = 0; c < g.width; ++c) densities[c] = T(0) + noise[r * g.width + c];
  }
}

// The parent of each lane's pixel: the nearest neighbour of higher density,
// the first in window order among equally near ones (the reference's strict
// `dist < closest`); the pixel itself when there is none or it is farther
// than max_dist. The winner is kept as its position in window order, a whole
// number held exactly in T (window_fits). `Interior`: the lanes are pixels
// whose window rows lie in the image.
template <int Channels, bool Interior, typename T>
void group_parents(const Layout<T>& layout, T max_dist, int64_t r, int64_t c0,
                   int64_t* parent) {
  const Geometry& g = layout.geometry;
  const Values<T> current = load<Values<T>>(layout.density_row(r) + c0);
  const Values<T> infinity = Values<T>{} + std::numeric_limits<T>::infinity();
  Values<T> closest = Values<T>{} + closest_start<T>();
  Values<T> chosen = Values<T>{} - T(1);
  Values<T> position = {};
  const int64_t rr_first = std::max<int64_t>(r - g.row_reach, 0);
  const int64_t rr_end = std::min(r + g.row_reach + 1, g.height);
  for (int64_t rr = rr_first; rr < rr_end; ++rr) {
    for (int64_t dc = -g.column_reach; dc <= g.column_reach; ++dc) {
      const Values<T> dist = squared_distances<Channels>(layout, r, rr, c0, dc);
      Masks<T> higher = load<Values<T>>(layout.density_row(rr) + c0 + dc) > current;
      if (!Interior) higher &= in_image<T>(g, c0, dc, g.width);
      // Only higher neighbours compete; infinity never wins.
      const Values<T> candidate = higher ? dist : infinity;
      chosen = candidate < closest ? position : chosen;
      closest = minimum<T>(candidate, closest);
      position = position + T(1);
    }
  }
  const int64_t span = 2 * g.column_reach + 1;
  for (int64_t j = 0; j < kLanes<T>; ++j) {
    if (!Interior && c0 + j >= g.width) break;
    const int64_t self = r * g.width + c0 + j;
    int64_t found = self;
    if (chosen[j] >= 0) {
      const auto at = static_cast<int64_t>(chosen[j]);
      found = (rr_first + at / span) * g.width + c0 + j + at % span - g.column_reach;
    }
    // The distance to the parent as the reference stores it (sqrt in
    // double, held in T); beyond max_dist the pixel is its own parent.
    const T distance = static_cast<T>(std::sqrt(static_cast<double>(closest[j])));
    parent[self] = distance > max_dist ? self : found;
  }
}

// The label of every pixel: the rank, in pixel order, of the root of its
// tree among all roots (numpy.unique's inverse of the flattened forest).
// Parents have strictly higher densities, so the forest has no cycles.
void label_forest(const std::vector<int64_t>& parent, int64_t* labels) {
  const int64_t count = static_cast<int64_t>(parent.size());
  int64_t next = 0;
  for (int64_t i = 0; i < count; ++i) labels[i] = parent[i] == i ? next++ : -1;
  std::vector<int64_t> path;
  for (int64_t i = 0; i < count; ++i) {
    int64_t at = i;
    while (labels[at] < 0) {
      path.push_back(at);
      at = parent[at];
    }
    for (int64_t on_path : path) labels[on_path] = labels[at];
    path.clear();
  }
}

}  // namespace

template <typename T>
int64_t kernel_width(T kernel_size) {
  // The reference: <int>ceil(3.0 * kernel_size), the product in double.
  return static_cast<int64_t>(std::ceil(3.0 * static_cast<double>(kernel_size)));
}

bool window_fits(int64_t height, int64_t width, int64_t kernel_width) {
  const double rows = 2.0 * static_cast<double>(std::min(kernel_width, height - 1)) + 1;
  const double columns = 2.0 * static_cast<double>(std::min(kernel_width, width - 1)) + 1;
  return rows * columns < 0x1p24;
}

template <typename T>
void segment(const ScaledImage<T>& image, T kernel_size, T max_dist, const T* noise,
             size_t threads, const TaskRunner& run_tasks, int64_t* labels) {
  const T inv_kernel_size_sqr =
      static_cast<T>(-0.5 / static_cast<double>(kernel_size * kernel_size));
  Layout<T> layout(Geometry(image.height, image.width, image.channels,
                            kernel_width(kernel_size)));
  const Geometry& g = layout.geometry;

  // A copy: too little work to be worth waking the other threads for.
  fill(layout, image, noise);
  add_densities(layout, inv_kernel_size_sqr, threads, run_tasks);
  std::vector<int64_t> parent(static_cast<size_t>(g.height * g.width));
  with_channels(g, [&](auto channels) {
    for_row_bands(run_tasks, g.height, [&](int64_t first, int64_t end) {
      for (int64_t r = first; r < end; ++r) {
        for_each_group<T>(g, 0, g.width, [&](int64_t c0, auto interior) {
          group_parents<channels(), interior()>(layout, max_dist, r, c0, parent.data());
        });
      }
    });
  });
  label_forest(parent, labels);
}

template int64_t kernel_width<float>(float);
template int64_t kernel_width<double>(double);
template void segment<float>(const ScaledImage<float>&, float, float, const float*, size_t,
                             const TaskRunner&, int64_t*);
template void segment<double>(const ScaledImage<double>&, double, double, const double*, size_t,
                              const TaskRunner&, int64_t*);

}  // namespace vorn::sibrelle::quickshift
