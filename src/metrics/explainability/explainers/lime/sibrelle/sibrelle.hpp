// Module sibrelle: LIME explanations of image classifiers.
//
// The class Sibrelle is an ordinary Python subclass of BaseExplainer whose
// methods are the C++ functions of this folder, one source per concern:
//   explainer_config.cpp      constructor, support test, initialize, properties
//   request_flow.cpp          explain_data, the per-row flow, image decoding
//   scoring_adapter.cpp       the classifier function handed to LIME, label map
//   segmentation.cpp          segmentation search, the LIME run, raw explanation
//   explanation_response.cpp  response record, outcome pictures, base64 PNG
//   quickshift.cpp            quickshift(): scikit-image's quickshift, loops in C++
//   quickshift_loops.cpp      its parent and label loops (no Python), and
//   quickshift_densities.cpp  its density loops, over
//   quickshift_lanes.hpp      the image's planes and the arithmetic of pixel lanes
//   thread_pool.cpp           the module's threads for those loops
//   lime_kernel.cpp           LIME's image explainer with data_labels in C++
//   perturbed_images.cpp      the perturbed images of a batch, over numpy buffers
//   kernels.cpp               loops over numpy buffers behind the above
//   array_access.hpp          reading numpy buffers (for the kernels)
#pragma once

#include "common/interop.hpp"

#include <cstdint>
#include <vector>

namespace vorn::sibrelle {

namespace py = pybind11;
using interop::Globals;

// Stored names of the private methods (`self.__name` inside class Sibrelle).
namespace names {
inline constexpr const char* prepare_data = "_Sibrelle__prepare_data";
inline constexpr const char* explain_row = "_Sibrelle__explain_row";
inline constexpr const char* get_meta_values = "_Sibrelle__get_meta_values";
inline constexpr const char* get_input_image = "_Sibrelle__get_input_image";
inline constexpr const char* decode_image_array = "_Sibrelle__decode_image_array";
inline constexpr const char* scoring_fn = "_Sibrelle__scoring_fn";
inline constexpr const char* set_label_map = "_Sibrelle__set_label_map";
inline constexpr const char* get_labels = "_Sibrelle__get_labels";
inline constexpr const char* get_label = "_Sibrelle__get_label";
inline constexpr const char* get_others_label = "_Sibrelle__get_others_label";
inline constexpr const char* get_segmentation_fn = "_Sibrelle__get_segmentation_fn";
inline constexpr const char* get_raw_explanation = "_Sibrelle__get_raw_explanation";
}  // namespace names

void define_explainer_config(const Globals& g, py::handle cls);
void define_request_flow(const Globals& g, py::handle cls);
void define_scoring_adapter(const Globals& g, py::handle cls);
void define_segmentation(const Globals& g, py::handle cls);
void define_explanation_response(const Globals& g, py::handle cls);
// The module's NativeLimeImageExplainer, built on LIME's LimeImageExplainer.
void define_lime_kernel(const Globals& g);
// The module function quickshift.
void define_quickshift(const Globals& g);

// Whether the installed scikit-image is a release whose quickshift the
// native one was checked against.
bool quickshift_release_checked();

// The explainer class a row's LIME run constructs: NativeLimeImageExplainer
// while the module global `lime_image` is LIME's module, LIME's class is the
// one the kernel was built on, and the installed LIME is the release it was
// checked against; otherwise `lime_image.LimeImageExplainer`.
py::object lime_explainer_class(const Globals& g);

// ---------------------------------------------------------------------------
// One row's segmentation, shared between the search and the LIME run.
//
// While a row is explained, the segmentation search records the segment map
// of the function it settles on. The LIME run then hands LIME a segmentation
// function that answers with that map for the very image the search looked
// at, so the chosen segmentation is computed once per row. The record lives
// on the row's stack frame; only a pointer to it is thread-local.
struct RowSegmentation {
  PyObject* owner = nullptr;  // the explainer whose row this is (borrowed)
  py::object image;           // the image the search segmented
  py::object function;        // the segmentation function returned by the search
  py::object segments;        // its segment map for `image`, when computed

  RowSegmentation* previous = nullptr;
  static RowSegmentation* current();
  explicit RowSegmentation(py::handle self);
  ~RowSegmentation();
  RowSegmentation(const RowSegmentation&) = delete;
  RowSegmentation& operator=(const RowSegmentation&) = delete;
};

// Statements 5 and 6 of the row flow: build the LIME explainer, explain the
// image and flatten the result into the raw explanation.
py::object explain_with_lime(const Globals& g, py::handle self, py::handle data_row,
                             py::handle input_image, py::handle labels,
                             py::handle segmentation_fn, const RowSegmentation& row);

// The error record of a failed row (not yet serialised).
py::object error_response(const Globals& g, py::handle error_msg);

// ---------------------------------------------------------------------------
// Numeric fast paths over numpy buffers. Each returns an empty object (or
// false) when its input is not the plain numeric ndarray it is written for;
// the caller then takes the generic path, which gives the same results.
namespace kernels {

// Per row of a 2-D numeric array: the position of the row's maximum when that
// maximum occurs exactly once, else -1. The maximum is the built-in max() of
// the row (a NaN in the first column wins, later NaNs are skipped), counted
// with equality as collections.Counter counts it (NaN never matches).
bool unique_max_positions(py::handle probabilities, std::vector<Py_ssize_t>& positions);

// numpy.array(value) for a regular nested list of int/float leaves (int64 or
// float64, as numpy infers it).
py::object array_from_nested_lists(py::handle value);

// array.tolist() for a numeric ndarray.
py::object nested_lists_from_array(py::handle array);

// The float outcome picture: zeros of the image's shape, with the pixels of
// the given features' segments copied from the image. `features` is a list
// or tuple of (segment id, weight) pairs.
py::object outcome_image(py::handle image, py::handle segments, py::handle features);

// The uint8 picture of a numeric non-uint8 array: scaled by 255 when every
// value lies in [0, 1], else clipped to [0, 255]; then truncated.
py::object to_uint8(py::handle array);

// to_uint8(outcome_image(...)) in one pass, without the float picture.
py::object outcome_picture(py::handle image, py::handle segments, py::handle features);

}  // namespace kernels

}  // namespace vorn::sibrelle
