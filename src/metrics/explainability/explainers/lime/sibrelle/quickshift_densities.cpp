// The densities of quickshift: for every pixel, its noise plus the sum over
// its window, in window order, of exp(dist * inv_kernel_size_sqr), each term
// added in double and the sum held in the image's type T.
//
// Most of the time goes into exp, and each term serves two pixels: the
// distance from p to q is the distance from q to p bit for bit (p - q is
// -(q - p) exactly, and the squares and their order of summation are the
// same), so the term is too. The pair scheme computes each term once:
// going down the rows, a row's terms with the rows below it are computed
// while the row's own sums take them, and kept until the rows below take
// them in turn. Only the order of the sums is fixed, and each sum still
// takes its terms in window order: the rows above (kept terms), the row
// itself (kept for the row), the rows below (computed now).
//
// The kept terms take (row reach + 1) x row reach x window width doubles
// per column; tasks therefore cover bands of rows, and columns in tiles on
// wide images, each recomputing the few terms at its edges that a
// neighbouring task also computes. Windows so large that the kept terms
// would not fit the memory allowed (64 MiB a task, 256 MiB for the tasks
// running at once) take the direct loop, which computes every term for both
// of its pixels, as the reference does.
#include "metrics/explainability/explainers/lime/sibrelle/quickshift_lanes.hpp"

#include <cmath>
#include <memory>

namespace vorn::sibrelle::quickshift::detail {

namespace {

// Images up to this wide are one tile; wider ones are cut into tiles of
// kTileWidth columns.
constexpr int64_t kWideImage = 512;
constexpr int64_t kTileWidth = 256;
// The most memory one task may keep terms in, and all tasks running at once.
constexpr double kKeptTermBytes = 64.0 * 1024 * 1024;
constexpr double kAllKeptTermBytes = 256.0 * 1024 * 1024;

template <typename T>
inline T add_term(T sum, double term) {
  return static_cast<T>(static_cast<double>(sum) + term);
}

template <int Channels, typename T>
inline Values<T> exponents(const Layout<T>& layout, T inv_kernel_size_sqr, int64_t r, int64_t rr,
                           int64_t c0, int64_t dc) {
  return squared_distances<Channels>(layout, r, rr, c0, dc) * inv_kernel_size_sqr;
}

// ---------------------------------------------------------------------------
// The direct loop: every term of every window.

template <int Channels, bool Interior, typename T>
void group_densities(Layout<T>& layout, T inv_kernel_size_sqr, int64_t r, int64_t c0) {
  const Geometry& g = layout.geometry;
  T* out = layout.density_row(r) + c0;
  T sum[kLanes<T>];
  for (int64_t j = 0; j < kLanes<T>; ++j) sum[j] = out[j];
  const int64_t rr_end = std::min(r + g.row_reach + 1, g.height);
  for (int64_t rr = std::max<int64_t>(r - g.row_reach, 0); rr < rr_end; ++rr) {
    for (int64_t dc = -g.column_reach; dc <= g.column_reach; ++dc) {
      const Values<T> exponent = exponents<Channels>(layout, inv_kernel_size_sqr, r, rr, c0, dc);
      for (int64_t j = 0; j < kLanes<T>; ++j) {
        if (!Interior && !g.in_image(c0 + j, dc, g.width)) continue;
        sum[j] = add_term(sum[j], std::exp(static_cast<double>(exponent[j])));
      }
    }
  }
  for (int64_t j = 0; j < kLanes<T>; ++j) {
    if (Interior || c0 + j < g.width) out[j] = sum[j];
  }
}

template <int Channels, typename T>
void direct_densities(Layout<T>& layout, T inv_kernel_size_sqr, const TaskRunner& run_tasks) {
  const Geometry& g = layout.geometry;
  for_row_bands(run_tasks, g.height, [&](int64_t first, int64_t end) {
    for (int64_t r = first; r < end; ++r) {
      for_each_group<T>(g, 0, g.width, [&](int64_t c0, auto interior) {
        group_densities<Channels, interior()>(layout, inv_kernel_size_sqr, r, c0);
      });
    }
  });
}

// ---------------------------------------------------------------------------
// The pair scheme.

// A task: the densities of rows [first, end) x columns [x0, x1).
struct Task {
  int64_t first;
  int64_t end;
  int64_t x0;
  int64_t x1;
};

// The terms a task keeps, for owner pixels of columns [lo, hi): those of a
// row with the rows below (`below`, for the rows within reach above the
// row being summed), and those of the row being summed with itself
// (`beside`). The term of owner (row, c) and neighbour (row + d, c + dc)
// is below(row, d, dc)[c - lo]; of (row, c) and (row, c + dc), dc >= 0,
// beside(dc)[c - lo]. Entries are written before they are read; the
// memory is not cleared first.
class KeptTerms {
 public:
  KeptTerms(const Geometry& g, int64_t lo, int64_t hi)
      : reach_(g.row_reach),
        column_reach_(g.column_reach),
        span_(2 * g.column_reach + 1),
        columns_(hi - lo),
        below_(new double[static_cast<size_t>((reach_ + 1) * reach_ * span_ * columns_)]),
        beside_(new double[static_cast<size_t>((column_reach_ + 1) * columns_)]) {}

  static double bytes(const Geometry& g, int64_t columns) {
    const double rows = static_cast<double>(g.row_reach);
    return ((rows + 1) * rows * static_cast<double>(2 * g.column_reach + 1) +
            static_cast<double>(g.column_reach + 1)) *
           static_cast<double>(columns) * sizeof(double);
  }

  // Indexed by the owner's column minus lo.
  double* below(int64_t row, int64_t d, int64_t dc) {
    const int64_t slot = row % (reach_ + 1);
    return below_.get() + ((slot * reach_ + d - 1) * span_ + dc + column_reach_) * columns_;
  }
  double* beside(int64_t dc) { return beside_.get() + dc * columns_; }

 private:
  int64_t reach_;
  int64_t column_reach_;
  int64_t span_;
  int64_t columns_;
  std::unique_ptr<double[]> below_;
  std::unique_ptr<double[]> beside_;
};

template <int Channels, typename T>
class PairTask {
 public:
  PairTask(Layout<T>& layout, T inv_kernel_size_sqr, const Task& task)
      : layout_(layout),
        g_(layout.geometry),
        inv_(inv_kernel_size_sqr),
        task_(task),
        lo_(std::max<int64_t>(task.x0 - g_.column_reach, 0)),
        hi_(std::min(task.x1 + g_.column_reach, g_.width)),
        kept_(g_, lo_, hi_) {}

  void run() {
    for (int64_t row = std::max<int64_t>(task_.first - g_.row_reach, 0); row < task_.end; ++row) {
      // Terms reaching the task's rows from below `row`, for the owners
      // outside the task's columns (and above its rows, all owners).
      const int64_t last_d = std::min(g_.row_reach, task_.end - 1 - row);
      if (row < task_.first) {
        keep_below(row, lo_, hi_, task_.first - row, last_d);
        continue;
      }
      keep_below(row, lo_, task_.x0, 1, last_d);
      keep_below(row, task_.x1, hi_, 1, last_d);
      keep_beside(row);
      for_each_group<T>(g_, task_.x0, task_.x1, [&](int64_t c0, auto interior) {
        sum_group<interior()>(row, c0);
      });
    }
  }

 private:
  // The terms of owners (row, c), c in [from, to), with the rows row + d,
  // d in [first_d, last_d].
  void keep_below(int64_t row, int64_t from, int64_t to, int64_t first_d, int64_t last_d) {
    for (int64_t d = first_d; d <= last_d; ++d) {
      for (int64_t dc = -g_.column_reach; dc <= g_.column_reach; ++dc) {
        double* kept = kept_.below(row, d, dc);
        for_each_group<T>(g_, from, to, [&](int64_t c0, auto) {
          const Values<T> exponent = exponents<Channels>(layout_, inv_, row, row + d, c0, dc);
          for (int64_t j = 0; j < kLanes<T>; ++j) {
            if (!g_.in_image(c0 + j, dc, to)) continue;
            kept[c0 + j - lo_] = std::exp(static_cast<double>(exponent[j]));
          }
        });
      }
    }
  }

  // The terms of the row with itself, for owners from reach to the left of
  // the task's columns up to their end.
  void keep_beside(int64_t row) {
    for (int64_t dc = 0; dc <= g_.column_reach; ++dc) {
      double* kept = kept_.beside(dc);
      for_each_group<T>(g_, lo_, task_.x1, [&](int64_t c0, auto) {
        const Values<T> exponent = exponents<Channels>(layout_, inv_, row, row, c0, dc);
        for (int64_t j = 0; j < kLanes<T>; ++j) {
          if (!g_.in_image(c0 + j, dc, task_.x1)) continue;
          kept[c0 + j - lo_] = std::exp(static_cast<double>(exponent[j]));
        }
      });
    }
  }

  // Adds to the lanes' sums the kept terms of the owners `owner_offset`
  // columns away from them, for the lanes whose neighbour `offset` columns
  // away lies in the image.
  template <bool Interior>
  void add_kept(T* sum, int64_t c0, const double* kept, int64_t offset, int64_t owner_offset) {
    const int64_t first_owner = c0 + owner_offset - lo_;
    for (int64_t j = 0; j < kLanes<T>; ++j) {
      if (Interior || g_.in_image(c0 + j, offset, task_.x1)) {
        sum[j] = add_term(sum[j], kept[first_owner + j]);
      }
    }
  }

  // The densities of the lanes (row, c0 + j), their terms in window order.
  template <bool Interior>
  void sum_group(int64_t row, int64_t c0) {
    T* out = layout_.density_row(row) + c0;
    T sum[kLanes<T>];
    for (int64_t j = 0; j < kLanes<T>; ++j) sum[j] = Interior || c0 + j < task_.x1 ? out[j] : T(0);
    // Rows above: their terms with this row, kept when they were summed.
    for (int64_t d = std::min(g_.row_reach, row); d >= 1; --d) {
      for (int64_t dc = -g_.column_reach; dc <= g_.column_reach; ++dc) {
        // Neighbour (row - d, c + dc) owns the term: the pixel is (d, -dc) from it.
        add_kept<Interior>(sum, c0, kept_.below(row - d, d, -dc), dc, dc);
      }
    }
    // The row itself: left of the pixel (owned by the neighbour), then the
    // pixel and its right (owned by the pixel).
    for (int64_t dc = -g_.column_reach; dc < 0; ++dc) {
      add_kept<Interior>(sum, c0, kept_.beside(-dc), dc, dc);
    }
    for (int64_t dc = 0; dc <= g_.column_reach; ++dc) {
      add_kept<Interior>(sum, c0, kept_.beside(dc), dc, 0);
    }
    // Rows below: computed now, added, and kept for those rows.
    const int64_t last_d = std::min(g_.row_reach, g_.height - 1 - row);
    for (int64_t d = 1; d <= last_d; ++d) {
      for (int64_t dc = -g_.column_reach; dc <= g_.column_reach; ++dc) {
        double* kept = kept_.below(row, d, dc) + (c0 - lo_);
        const Values<T> exponent = exponents<Channels>(layout_, inv_, row, row + d, c0, dc);
        for (int64_t j = 0; j < kLanes<T>; ++j) {
          if (!Interior && !g_.in_image(c0 + j, dc, task_.x1)) continue;
          const double term = std::exp(static_cast<double>(exponent[j]));
          kept[j] = term;
          sum[j] = add_term(sum[j], term);
        }
      }
    }
    for (int64_t j = 0; j < kLanes<T>; ++j) {
      if (Interior || c0 + j < task_.x1) out[j] = sum[j];
    }
  }

  Layout<T>& layout_;
  const Geometry& g_;
  const T inv_;
  const Task task_;
  const int64_t lo_;  // owner columns whose terms the task keeps: [lo_, hi_)
  const int64_t hi_;
  KeptTerms kept_;
};

}  // namespace

template <typename T>
void add_densities(Layout<T>& layout, T inv_kernel_size_sqr, size_t threads,
                   const TaskRunner& run_tasks) {
  const Geometry& g = layout.geometry;
  const int64_t tile = g.width <= kWideImage ? g.width : kTileWidth;
  // Two bands per thread, each at least twice the reach high: the terms a
  // band recomputes above its first row stay a small share.
  const int64_t most_bands =
      std::max<int64_t>(1, g.height / std::max<int64_t>(1, 2 * g.row_reach));
  const int64_t bands =
      threads > 1 ? std::min(static_cast<int64_t>(2 * threads), most_bands) : 1;
  const int64_t tiles = (g.width + tile - 1) / tile;
  const double kept = KeptTerms::bytes(g, tile + 2 * g.column_reach);
  const double at_once = static_cast<double>(std::min<int64_t>(
      static_cast<int64_t>(std::max<size_t>(threads, 1)), bands * tiles));
  const bool keep = kept <= kKeptTermBytes && kept * at_once <= kAllKeptTermBytes;
  with_channels(g, [&](auto channels) {
    if (!keep) {
      direct_densities<channels()>(layout, inv_kernel_size_sqr, run_tasks);
      return;
    }
    const int64_t band_rows = (g.height + bands - 1) / bands;
    std::vector<Task> tasks;
    for (int64_t first = 0; first < g.height; first += band_rows) {
      for (int64_t x0 = 0; x0 < g.width; x0 += tile) {
        tasks.push_back({first, std::min(first + band_rows, g.height), x0,
                         std::min(x0 + tile, g.width)});
      }
    }
    run_tasks(tasks.size(), [&](size_t index) {
      PairTask<channels(), T>(layout, inv_kernel_size_sqr, tasks[index]).run();
    });
  });
}

template void add_densities<float>(Layout<float>&, float, size_t, const TaskRunner&);
template void add_densities<double>(Layout<double>&, double, size_t, const TaskRunner&);

}  // namespace vorn::sibrelle::quickshift::detail
