// The loops of quickshift over an image that is already converted and
// scaled: the density of every pixel, the parent of every pixel, and the
// segment labels of the resulting forest, as scikit-image's loops compute
// them, operation for operation (quickshift_loops.cpp, quickshift_densities.cpp).
//
// Nothing here touches Python: the loops run without the GIL, split into
// tasks that `TaskRunner` may run on several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vorn::sibrelle::quickshift {

// height x width pixels of `channels` values each, in C order.
template <typename T>
struct ScaledImage {
  const T* values;
  int64_t height;
  int64_t width;
  int64_t channels;
};

// Runs task(0) .. task(count - 1), each once, possibly several at once.
using TaskRunner = std::function<void(size_t count, const std::function<void(size_t)>& task)>;

// The kernel width of `kernel_size`, as scikit-image computes it:
// ceil(3.0 * kernel_size) in double, as an int.
template <typename T>
int64_t kernel_width(T kernel_size);

// Whether the loops take an image of this size with this kernel width: the
// positions of a pixel's window are counted in the image's float type, so
// there must be fewer than 2^24 of them (a window over 4000 x 4000 pixels).
bool window_fits(int64_t height, int64_t width, int64_t kernel_width);

// The segment label of every pixel (height * width, C order). `noise` holds
// the tie-breaking noise of every pixel, already in T; `kernel_size` and
// `max_dist` are the arguments converted to T. The work is split for
// `threads` threads and run through `run_tasks`; the labels are the same
// whatever the split.
template <typename T>
void segment(const ScaledImage<T>& image, T kernel_size, T max_dist, const T* noise,
             size_t threads, const TaskRunner& run_tasks, int64_t* labels);

}  // namespace vorn::sibrelle::quickshift
