// Segmentation search, the LIME run of one row, and the raw explanation that
// flattens LIME's result into a plain dict.
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

#include <cmath>

namespace vorn::sibrelle {

namespace {

using interop::compare;
using interop::truthy;
using namespace pybind11::literals;

constexpr const char* kGetSegmentationFnDoc =
    "Find an segmentation function where the number of segments are more than 10 or near the "
    "user provided features count.";

constexpr const char* kGetRawExplanationDoc =
    R"(Return the lime explanation of the row as a json/dict object that can be stored.

The dict holds the explained image, its segment map, the weights of the segments for
the explained label, the prediction probability, the prediction and the label of the
other outcome.)";

// Upper bound on the wanted segment count, and the quickshift settings tried
// from coarse to fine.
constexpr long kMaxSegments = 200;
constexpr long kKernelSizes[] = {4, 3, 2, 1};

thread_local RowSegmentation* current_row = nullptr;

// LIME's wrapper over scikit-image's quickshift segments with the module
// global `quickshift` instead (the native function, unless substituted), so
// the search and LIME's own call both use it. A substituted
// SegmentationAlgorithm, a wrapper over any other function, and a
// scikit-image release the native function was not checked against are left
// as they are.
void use_module_quickshift(const Globals& g, py::handle segmentation_fn) {
  if (!interop::global_is(g, "SegmentationAlgorithm", "lime.wrappers.scikit_image",
                          "SegmentationAlgorithm") ||
      !quickshift_release_checked()) {
    return;
  }
  py::object target = interop::getattr_or(segmentation_fn, "target_fn", py::handle());
  if (target && target.is(interop::import_now("skimage.segmentation", "quickshift"))) {
    py::setattr(segmentation_fn, "target_fn", g["quickshift"]);
  }
}

py::object number_of_segments(const Globals& g, py::handle segments) {
  return py::int_(py::len(g["np"].attr("unique")(segments)));
}

py::object get_segmentation_fn(const Globals& g, py::object self, py::object image) {
  RowSegmentation* row = RowSegmentation::current();
  if (row != nullptr && row->owner != self.ptr()) row = nullptr;
  if (row != nullptr) {
    row->image = image;
    row->function = py::object();
    row->segments = py::object();
  }

  py::object num_segments = g["min"](self.attr("features_count"), kMaxSegments);
  py::object segments = py::none();
  py::object segment_count;       // distinct ids of `segments`
  py::object segments_of;         // the function that produced `segments`
  py::object segmentation_fn;     // unbound until a branch assigns it
  py::object algorithms = g["ImageSegmentAlgo"];

  auto chosen = [&](py::object function) {
    if (row != nullptr && segments_of && function.is(segments_of)) {
      row->function = function;
      row->segments = segments;
    }
    return function;
  };

  py::object quickshift = algorithms.attr("QUICKSHIFT");
  if (truthy(compare(self.attr("image_segment_algo"), quickshift, Py_EQ)) ||
      self.attr("image_segment_algo").is_none()) {
    for (long kernel_size : kKernelSizes) {
      segmentation_fn = g["SegmentationAlgorithm"](
          quickshift.attr("value"), "kernel_size"_a = kernel_size, "max_dist"_a = 200,
          "ratio"_a = 0.2, "random_seed"_a = 7);
      use_module_quickshift(g, segmentation_fn);
      segments = segmentation_fn(image);
      segments_of = segmentation_fn;
      segment_count = number_of_segments(g, segments);
      if (truthy(compare(segment_count, num_segments, Py_GT))) return chosen(segmentation_fn);
    }
  }

  py::object slic = algorithms.attr("SLIC");
  if (truthy(compare(self.attr("image_segment_algo"), slic, Py_EQ)) ||
      self.attr("image_segment_algo").is_none()) {
    if (segments.is_none() || truthy(compare(segment_count, num_segments, Py_LT))) {
      py::object wanted = num_segments;
      if (!truthy(compare(self.attr("features_count"), g["FEATURES_COUNT"], Py_NE))) {
        py::object side = g["min"](g["max"](image.attr("shape")), 100);
        py::object scaled = py::reinterpret_steal<py::object>(
            PyNumber_Multiply(py::float_(0.7).ptr(), side.ptr()));
        if (!scaled) throw py::error_already_set();
        wanted = g["int"](scaled);
      }
      segmentation_fn = g["SegmentationAlgorithm"](slic.attr("value"), "n_segments"_a = wanted);
    }
  }

  if (!segmentation_fn) {
    interop::raise(PyExc_UnboundLocalError,
                   "cannot access local variable 'segmentation_fn' where it is not associated "
                   "with a value");
  }
  return chosen(segmentation_fn);
}

// Whether a prediction cell is empty: None, or what a frame reads back for a
// missing value (a float NaN, pandas' NA); text columns of pandas 3 turn a
// None into NaN.
bool is_missing(const Globals& g, py::handle value) {
  if (value.is_none()) return true;
  if (PyFloat_Check(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
  py::object na = interop::getattr_or(g["pd"], "NA", py::handle());
  if (na && value.is(na)) return true;
  return interop::isinstance(value, g["np"].attr("floating")) &&
         truthy(compare(value, value, Py_NE));
}

// array.tolist(), straight from the buffer for plain numeric arrays.
py::object as_nested_lists(py::handle array) {
  py::object lists = kernels::nested_lists_from_array(array);
  if (lists) return lists;
  return array.attr("tolist")();
}

py::object get_raw_explanation(const Globals& g, py::object self, py::object data_row,
                               py::object explanation) {
  py::dict raw_explanation;
  py::object label = self.attr(names::get_label)(data_row, explanation);
  py::object details =
      py::str("Lime explanation details are score {}, intercept {}, local_pred {}.")
          .attr("format")(explanation.attr("score"), explanation.attr("intercept")[label],
                          explanation.attr("local_pred"));
  g["logger"].attr("log_debug")(details);

  raw_explanation["input_image"] = as_nested_lists(explanation.attr("image"));
  raw_explanation["feature_matrix"] = as_nested_lists(explanation.attr("segments"));

  py::dict feature_weights;
  for (py::handle item : explanation.attr("local_exp").attr("items")()) {
    std::vector<py::object> key_value = interop::unpack(item, 2);
    if (!truthy(compare(key_value[0], label, Py_EQ))) continue;
    py::list pairs;
    for (py::handle pair : key_value[1]) {
      std::vector<py::object> feature_weight = interop::unpack(pair, 2);
      pairs.append(py::make_tuple(interop::pystr(feature_weight[0]), feature_weight[1]));
    }
    feature_weights[interop::pystr(key_value[0])] = pairs;
  }
  raw_explanation["feature_weights"] = feature_weights;

  py::object config = self.attr("config");
  py::object probabilities = data_row.attr("get")(config.attr("probability_column"));
  if (Py_IS_TYPE(probabilities.ptr(), &PyUnicode_Type)) {
    probabilities = g["json"].attr("loads")(probabilities);
  }
  raw_explanation["prediction_probability"] = g["max"](probabilities);

  py::object pred;
  if (!is_missing(g, data_row.attr("get")(config.attr("prediction_column")))) {
    pred = data_row.attr("get")(config.attr("prediction_column"));
  } else {
    pred = g["np"].attr("argmax")(probabilities);
  }
  raw_explanation["prediction"] = interop::pystr(pred);
  raw_explanation["others_label"] =
      interop::pystr(self.attr(names::get_others_label)(pred));
  return std::move(raw_explanation);
}

}  // namespace

RowSegmentation* RowSegmentation::current() { return current_row; }

RowSegmentation::RowSegmentation(py::handle self) : owner(self.ptr()), previous(current_row) {
  current_row = this;
}

RowSegmentation::~RowSegmentation() { current_row = previous; }

py::object explain_with_lime(const Globals& g, py::handle self, py::handle data_row,
                             py::handle input_image, py::handle labels,
                             py::handle segmentation_fn, const RowSegmentation& row) {
  py::object explainer = lime_explainer_class(g)(
      "verbose"_a = false, "random_state"_a = 8,
      "feature_selection"_a = self.attr("feature_selection").attr("value"));

  // LIME segments the image it explains once more; when that is the image
  // the search already segmented with this very function, it gets the map
  // the search computed instead of computing it again.
  py::object lime_segmentation = py::reinterpret_borrow<py::object>(segmentation_fn);
  if (row.function && row.segments && row.function.is(segmentation_fn) &&
      row.image.is(input_image)) {
    py::object image = row.image;
    py::object segments = row.segments;
    py::object function = row.function;
    lime_segmentation = py::cpp_function(
        [image, segments, function](py::args args) -> py::object {
          if (args.size() == 1 && py::object(args[0]).is(image)) return segments;
          return function(*args);
        },
        py::name("segmentation_fn"));
  }

  py::object lime_explanation = explainer.attr("explain_instance")(
      "image"_a = input_image, "classifier_fn"_a = self.attr(names::scoring_fn),
      "labels"_a = labels, "hide_color"_a = 0,
      "batch_size"_a = self.attr("scoring_batch_size"),
      "segmentation_fn"_a = lime_segmentation,
      "num_samples"_a = self.attr("perturbations_count"));
  return self.attr(names::get_raw_explanation)(data_row, lime_explanation);
}

void define_segmentation(const Globals& g, py::handle cls) {
  interop::def_private_method(
      cls, "__get_segmentation_fn", kGetSegmentationFnDoc,
      [g](py::object self, py::object image) { return get_segmentation_fn(g, self, image); },
      py::arg("image"));
  interop::def_private_method(
      cls, "__get_raw_explanation", kGetRawExplanationDoc,
      [g](py::object self, py::object data_row, py::object explanation) {
        return get_raw_explanation(g, self, data_row, explanation);
      },
      py::arg("data_row"), py::arg("explanation"));
}

}  // namespace vorn::sibrelle
