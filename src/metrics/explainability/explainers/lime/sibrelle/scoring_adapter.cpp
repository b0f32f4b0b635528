// The classifier function handed to LIME, which wraps the caller's scoring
// function, and the label bookkeeping it keeps: the distinct predictions of
// the last batch, the label map, the explained label and the other outcome.
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

#include <pybind11/numpy.h>

namespace vorn::sibrelle {

namespace {

using interop::compare;
using interop::truthy;
using namespace pybind11::literals;

constexpr const char* kScoringFnDoc = "The predict probability function passed to LIME.";
constexpr const char* kSetLabelMapDoc =
    "Create label map with key value pairs of prediction and max probability index if max "
    "probability is unique";
constexpr const char* kGetLabelsDoc =
    "Get all the indexes with max probability value in probabilities array.";
constexpr const char* kGetLabelDoc = "Get the label for which explanation is to be returned";
constexpr const char* kGetOthersLabelDoc = "Get the others label value";

// A 2-D numeric ndarray with at least one row and one column, and `np` the
// module global it was: its per-row argmax is numpy.argmax along axis 1, the
// same indexes (and dtype) as collecting numpy.argmax of every row.
bool rows_argmax_applies(const Globals& g, py::handle probabilities) {
  if (!interop::global_is_module(g, "np", "numpy")) return false;
  if (Py_TYPE(probabilities.ptr()) != py::detail::npy_api::get().PyArray_Type_) return false;
  auto array = py::reinterpret_borrow<py::array>(probabilities);
  if (array.ndim() != 2 || array.shape(0) == 0 || array.shape(1) == 0) return false;
  const char kind = array.dtype().kind();
  return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
}

py::object scoring_fn(const Globals& g, py::object self, py::object data) {
  py::object test_data = g["np"].attr("squeeze")(data);
  py::object batch = test_data;
  if (truthy(compare(self.attr("is3d"), py::bool_(false), Py_EQ))) {
    const py::slice all{py::none(), py::none(), py::none()};
    py::object channel = test_data[py::make_tuple(all, all, all, 1)];
    batch = g["np"].attr("expand_dims")(channel, -1);
  }
  py::object scored = self.attr("meta_values").is_none()
                          ? self.attr("scoring_fn")(batch)
                          : self.attr("scoring_fn")(batch, self.attr("meta_values"));
  std::vector<py::object> items = interop::unpack(scored, 2);
  py::object probabilities = items[0];
  py::object predictions = items[1];
  if (!predictions.is_none()) predictions = g["np"].attr("array")(predictions);
  probabilities = g["np"].attr("array")(probabilities);
  if (predictions.is_none()) {
    py::object np = g["np"];
    if (rows_argmax_applies(g, probabilities)) {
      predictions = np.attr("argmax")(probabilities, "axis"_a = 1);
    } else {
      py::list indexes;
      for (py::handle row : probabilities) indexes.append(np.attr("argmax")(row));
      predictions = np.attr("array")(indexes);
    }
  }
  self.attr("possible_predictions") = g["np"].attr("unique")(predictions).attr("tolist")();
  self.attr(names::set_label_map)(predictions, probabilities);
  return probabilities;
}

void set_label_map(const Globals& g, py::object self, py::object predictions,
                   py::object probabilities) {
  py::dict label_map;
  self.attr("label_map") = label_map;
  if (predictions.is_none()) return;
  const size_t probability_rows = py::len(probabilities);
  if (probability_rows != py::len(predictions)) return;

  // The kernel stands in for the built-in max and collections.Counter.
  std::vector<Py_ssize_t> positions;
  if (interop::global_is(g, "max", "builtins", "max") &&
      interop::global_is(g, "Counter", "collections", "Counter") &&
      kernels::unique_max_positions(probabilities, positions)) {
    // zip() over the rows: the positions come from the buffer, the keys are
    // the items that iterating the predictions yields.
    py::iterator prediction_items = py::iter(predictions);
    for (Py_ssize_t position : positions) {
      if (prediction_items == py::iterator::sentinel()) break;
      py::object prediction = py::reinterpret_borrow<py::object>(*prediction_items);
      ++prediction_items;
      if (position >= 0) label_map[prediction] = py::int_(position);
    }
    return;
  }

  py::iterator rows = py::iter(probabilities);
  py::iterator prediction_items = py::iter(predictions);
  while (rows != py::iterator::sentinel() && prediction_items != py::iterator::sentinel()) {
    py::object probs = py::reinterpret_borrow<py::object>(*rows);
    py::object prediction = py::reinterpret_borrow<py::object>(*prediction_items);
    py::object max_prob = g["max"](probs);
    py::object count = g["Counter"](probs)[max_prob];
    if (truthy(compare(count, py::int_(1), Py_EQ))) {
      label_map[prediction] = probs.attr("tolist")().attr("index")(max_prob);
    }
    ++rows;
    ++prediction_items;
  }
}

py::object get_labels(const Globals& g, py::object self, py::object data_row) {
  py::object probabilities =
      data_row.attr("get")(self.attr("config").attr("probability_column"));
  // In the order Python evaluates the expression: the array, then max().
  py::object np = g["np"];
  py::object argwhere = np.attr("argwhere");
  py::object array = np.attr("array")(probabilities);
  py::object matches = compare(array, g["max"](probabilities), Py_EQ);
  return argwhere(matches).attr("flatten")().attr("tolist")();
}

// LIME's image explanation keeps the labels it explained as `top_labels` (when
// it ranked them) and as the keys of `local_exp`; it has no
// available_labels(), which only other explanation kinds provide.
py::object first_available_label(py::object explanation) {
  py::object available = interop::getattr_or(explanation, "available_labels", py::handle());
  if (available) return available()[py::int_(0)];
  py::object top_labels = interop::getattr_or(explanation, "top_labels", py::none());
  if (!top_labels.is_none() && py::len(top_labels) > 0) return top_labels[py::int_(0)];
  py::object keys = py::list(explanation.attr("local_exp").attr("keys")());
  return keys[py::int_(0)];
}

py::object get_label(py::object self, py::object data_row, py::object explanation) {
  py::object labels = self.attr(names::get_labels)(data_row);
  if (py::len(labels) == 1) return labels[py::int_(0)];
  py::object prediction = data_row[self.attr("config").attr("prediction_column")];
  py::object label = self.attr("label_map").attr("get")(prediction);
  if (label.is_none()) label = first_available_label(explanation);
  return label;
}

py::object get_others_label(const Globals& g, py::object self, py::object prediction) {
  py::object others_value = py::str("Others");
  py::object binary = g["ProblemType"].attr("BINARY");
  py::object problem_type = self.attr("config").attr("problem_type");
  if (problem_type.is(binary) &&
      interop::contains(self.attr("possible_predictions"), prediction)) {
    for (py::handle candidate : self.attr("possible_predictions")) {
      if (truthy(compare(candidate, prediction, Py_NE))) {
        others_value = py::reinterpret_borrow<py::object>(candidate);
        break;
      }
    }
  }
  return others_value;
}

}  // namespace

void define_scoring_adapter(const Globals& g, py::handle cls) {
  interop::def_private_method(
      cls, "__scoring_fn", kScoringFnDoc,
      [g](py::object self, py::object data) { return scoring_fn(g, self, data); },
      py::arg("data"));
  interop::def_private_method(
      cls, "__set_label_map", kSetLabelMapDoc,
      [g](py::object self, py::object predictions, py::object probabilities) {
        set_label_map(g, self, predictions, probabilities);
      },
      py::arg("predictions"), py::arg("probabilities"));
  interop::def_private_method(
      cls, "__get_labels", kGetLabelsDoc,
      [g](py::object self, py::object data_row) { return get_labels(g, self, data_row); },
      py::arg("data_row"));
  interop::def_private_method(
      cls, "__get_label", kGetLabelDoc,
      [](py::object self, py::object data_row, py::object explanation) {
        return get_label(self, data_row, explanation);
      },
      py::arg("data_row"), py::arg("explanation"));
  interop::def_private_method(
      cls, "__get_others_label", kGetOthersLabelDoc,
      [g](py::object self, py::object prediction) {
        return get_others_label(g, self, prediction);
      },
      py::arg("prediction"));
}

}  // namespace vorn::sibrelle
