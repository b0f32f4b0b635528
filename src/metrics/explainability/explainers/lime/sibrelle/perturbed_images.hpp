// LIME's perturbed images, built straight into one batch array.
//
// LIME turns a sample row (one 0/1 entry per feature) into an image by
// copying the image and, for every feature that is off, overwriting the
// pixels whose segment id equals that feature's index with the hidden
// colours. Feature indexes run over 0..n_features-1 whatever the segment ids
// are, so a pixel is hidden exactly when its segment id lies in that range
// and its feature is off; other ids are never hidden.
//
// The segment map is read once into runs of consecutive pixels that share
// that feature, so building an image is one copy per run, from the image or
// from the hidden colours.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn::sibrelle::kernels {

namespace py = pybind11;

struct PixelRun {
  size_t first;  // first pixel, in C order over the segment map
  size_t count;  // pixels in the run
  size_t slot;   // 1 + the feature that hides the run, or 0 when none does
};

struct PerturbationSource {
  py::array image;     // C-contiguous (a copy when the caller's image is not)
  py::array hidden;    // the hidden colours: the image's dtype and shape, C-contiguous
  size_t pixel_bytes;  // bytes under one entry of the segment map
  size_t image_bytes;
  Py_ssize_t n_features;  // distinct segment ids, as numpy.unique counts them
  std::vector<PixelRun> runs;
};

// Reads the image, its hidden colours and the segment map. False (nothing
// read) unless all three are plain native-order ndarrays, the image and the
// hidden colours share one numeric dtype and one shape, and the segment map
// is an integer array whose shape is the leading part of the image's.
bool perturbation_source(py::handle image, py::handle hidden, py::handle segments,
                         PerturbationSource& source);

// The sample rows LIME draws: a 2-D integer (or boolean) array, one column
// per feature, read in place. False when `samples` is not one.
struct SampleRows {
  py::array array;
  const char* base = nullptr;
  Py_ssize_t rows = 0;
  Py_ssize_t columns = 0;
  Py_ssize_t row_stride = 0;
  Py_ssize_t column_stride = 0;
  size_t item_size = 0;
};
bool sample_rows(py::handle samples, SampleRows& rows);

// Writes the images of rows first..first+count-1 one after another into
// `out` (count * source.image_bytes bytes). Touches no Python object, so it
// may run without the GIL while the caller keeps the arrays alive.
void build_perturbed_images(const PerturbationSource& source, const SampleRows& rows,
                            Py_ssize_t first, Py_ssize_t count, char* out);

}  // namespace vorn::sibrelle::kernels
