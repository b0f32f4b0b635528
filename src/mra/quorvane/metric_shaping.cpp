// Giving metric dicts their final shape: the benchmark library's raw values
// cleaned and rounded, the main entries of a card put first, and values read
// back from the GRC service nested like evaluation results.
#include "mra/quorvane/quorvane.hpp"

#include <cmath>
#include <cstdint>

namespace vorn::quorvane {

namespace {

constexpr const char* kNormalizeMetricsValuesDoc = R"(Normalize metrics by applying the below rules to each metric's value.

Args:
    metrics : list of tuples

Rules:
    - If the value is NaN, it is replaced with 0.0.
    - If the value is a list of numbers, it is replaced with its average rounded to 3 decimals.
    - If the value is a float with more than 3 decimal places, it is rounded to 3 decimals.
    - Else, the value is left as is.

Returns:
    list of tuples
        A new list with cleaned metric name-value pairs.)";

constexpr const char* kReorderedMetricDictDoc = R"(Function to change the ordered of metrics where'score_name'
and 'score' keys first

Params:
    scores_dict (dict): The input dictionary to reorder.

Returns:
    dict: The reordered dictionary with 'score_name' and 'score' first if they exist,
    followed by the rest of the items.)";

constexpr const char* kNormalizeLedgoraDataDoc = R"(Function to change the formate of the data we retrieve from Ledgora
from flat dictionary to a nested dictionary.

Params:
    risk_evaluation_results (dict): The metrics stored in Ledgora as flat dictionary.

Returns:
    dict: The reordered dictionary a nested dictionary.)";

constexpr int kDecimals = 3;

// round(x, 3) of a float, as the builtin computes it: the double nearest to
// the exact binary value rounded half to even at the third decimal. The
// builtin gets there through a decimal string and back; with |x| * 1000 below
// 2**53 the same result comes from exact integer arithmetic: x * 1000 is
// mantissa * 1000 / 2**shift, its rounding an integer q, and q / 1000.0 the
// correctly rounded quotient of two exact doubles. Returns false outside
// that range; the caller then asks the builtin.
bool round_to_thousandths(double x, double& rounded) {
  if (!std::isfinite(x)) {  // nan and inf round to themselves
    rounded = x;
    return true;
  }
  const double magnitude = std::fabs(x);
  if (magnitude >= 9.0e12) return false;
  if (magnitude == 0.0) {
    rounded = x;
    return true;
  }
  int exponent = 0;
  const double fraction = std::frexp(magnitude, &exponent);  // magnitude = fraction * 2**exponent
  const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
  const int shift = 53 - exponent;  // magnitude = mantissa / 2**shift, shift >= 10 here
  const unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * 1000u;
  uint64_t quotient = 0;
  if (shift < 64) {  // scaled < 2**63, so larger shifts leave less than one half
    const unsigned __int128 one = 1;
    quotient = static_cast<uint64_t>(scaled >> shift);
    const unsigned __int128 remainder = scaled & ((one << shift) - 1);
    const unsigned __int128 half = one << (shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1u) != 0)) ++quotient;
  }
  rounded = std::copysign(static_cast<double>(quotient) / 1000.0, x);
  return true;
}

// The cleaning rules, with the float paths in C++ while the module's `round`
// is the builtin and its `np` is numpy. Those are checked when a call starts
// and again after anything that ran Python code (a substituted global, a
// float subclass's rounding, sum() of a list).
class Cleaner {
 public:
  explicit Cleaner(const Globals& g) : g_(g) { refresh(); }

  // round(value, 3); float subclasses such as numpy floats keep their own
  // type and rounding.
  py::object round3(py::handle value) {
    double rounded = 0.0;
    if (round_is_builtin_ && PyFloat_CheckExact(value.ptr()) &&
        round_to_thousandths(PyFloat_AS_DOUBLE(value.ptr()), rounded)) {
      return py::reinterpret_steal<py::object>(PyFloat_FromDouble(rounded));
    }
    py::object result = g_["round"](value, kDecimals);
    refresh();
    return result;
  }

  // np.isnan(value) of a float; numpy reads a float (subclass or not) by its
  // stored double.
  bool is_nan(py::handle value) {
    if (np_is_numpy_ && PyFloat_Check(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
    const bool nan = interop::truthy(g_["np"].attr("isnan")(value));
    refresh();
    return nan;
  }

  py::object mean3(py::handle values) {
    py::object total = g_["sum"](values);
    py::object count = g_["len"](values);
    refresh();
    PyObject* mean = PyNumber_TrueDivide(total.ptr(), count.ptr());
    if (mean == nullptr) throw py::error_already_set();
    return round3(py::reinterpret_steal<py::object>(mean));
  }

  py::list rounded_list(py::handle values) {
    py::list rounded;
    for (py::handle value : values) rounded.append(round3(value));
    return rounded;
  }

  void refresh() {
    round_is_builtin_ = interop::global_is(g_, "round", "builtins", "round");
    np_is_numpy_ = interop::global_is_module(g_, "np", "numpy");
  }

 private:
  const Globals& g_;
  bool round_is_builtin_ = false;
  bool np_is_numpy_ = false;
};

// `name in ["all_scores"]`: the one name whose list stays a list.
bool keeps_list(py::handle metric_name, const py::str& all_scores) {
  if (PyUnicode_CheckExact(metric_name.ptr())) {
    return PyUnicode_Compare(all_scores.ptr(), metric_name.ptr()) == 0;
  }
  return interop::truthy(interop::compare(all_scores, metric_name, Py_EQ));
}

py::object cleaned_value(Cleaner& clean, py::handle metric_name, py::handle metric_value,
                         const py::str& all_scores) {
  if (keeps_list(metric_name, all_scores)) return clean.rounded_list(metric_value);
  const bool is_float = interop::isinstance_of(metric_value, &PyFloat_Type);
  if (is_float && clean.is_nan(metric_value)) return py::float_(0.0);
  if (interop::isinstance_of(metric_value, &PyList_Type)) return clean.mean3(metric_value);
  if (is_float) return clean.round3(metric_value);
  return py::reinterpret_borrow<py::object>(metric_value);
}

py::list normalize_metrics_values(const Globals& g, py::handle metrics) {
  const py::str all_scores("all_scores");
  Cleaner clean(g);
  py::list cleaned_data;
  for (py::handle pair : metrics) {
    // Items of a dict's items() are 2-tuples; anything else is unpacked as
    // `name, value = pair` would.
    py::object metric_name;
    py::object metric_value;
    if (PyTuple_CheckExact(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) == 2) {
      metric_name = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(pair.ptr(), 0));
      metric_value = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(pair.ptr(), 1));
    } else {
      std::vector<py::object> item = interop::unpack(pair, 2);
      metric_name = std::move(item[0]);
      metric_value = std::move(item[1]);
    }
    py::object cleaned = cleaned_value(clean, metric_name, metric_value, all_scores);
    PyObject* cleaned_pair = PyTuple_Pack(2, metric_name.ptr(), cleaned.ptr());
    if (cleaned_pair == nullptr) throw py::error_already_set();
    const int appended = PyList_Append(cleaned_data.ptr(), cleaned_pair);
    Py_DECREF(cleaned_pair);
    if (appended < 0) throw py::error_already_set();
  }
  return cleaned_data;
}

py::dict reordered_metric_dict(py::handle scores_dict) {
  py::dict ordered_data;
  for (const char* key : {"score_name", "score", "num_of_instances"}) {
    const py::str priority_key(key);
    if (interop::contains(scores_dict, priority_key)) {
      ordered_data[priority_key] = scores_dict[priority_key];
    }
  }
  for (py::handle entry : scores_dict.attr("items")()) {
    const std::vector<py::object> item = interop::unpack(entry, 2);
    if (!interop::contains(ordered_data, item[0])) ordered_data[item[0]] = item[1];
  }
  return ordered_data;
}

// Stored metric names read "risk, card, metric'" (the GRC service keeps the
// closing quote of the description they were parsed from).
py::dict normalize_ledgora_data(py::handle risk_evaluation_results) {
  py::dict normalized_risk_evaluation_results;
  const py::str separator(", ");
  for (py::handle risk_entry : risk_evaluation_results.attr("items")()) {
    const std::vector<py::object> risk = interop::unpack(risk_entry, 2);
    py::dict cards;
    normalized_risk_evaluation_results[risk[0]] = cards;
    for (py::handle metric_entry : risk[1].attr("items")()) {
      const std::vector<py::object> metric = interop::unpack(metric_entry, 2);
      const std::vector<py::object> parts =
          interop::unpack(metric[0].attr("split")(separator), 3);
      py::object card_name = parts[1].attr("strip")();
      py::object attribute = parts[2].attr("replace")("'", "").attr("strip")();
      if (!interop::contains(cards, card_name)) cards[card_name] = py::dict();
      cards[card_name][attribute] = metric[1];
    }
  }
  return normalized_risk_evaluation_results;
}

}  // namespace

void define_metric_shaping(const Globals& g) {
  interop::def_function(
      g, "normalize_metrics_values", kNormalizeMetricsValuesDoc,
      [g](py::object metrics) { return normalize_metrics_values(g, metrics); },
      py::arg("metrics"));
  interop::def_function(
      g, "reordered_metric_dict", kReorderedMetricDictDoc,
      [](py::object scores_dict) { return reordered_metric_dict(scores_dict); },
      py::arg("scores_dict"));
  interop::def_function(
      g, "normalize_ledgora_data", kNormalizeLedgoraDataDoc,
      [](py::object risk_evaluation_results) {
        return normalize_ledgora_data(risk_evaluation_results);
      },
      py::arg("risk_evaluation_results"));
}

}  // namespace vorn::quorvane
