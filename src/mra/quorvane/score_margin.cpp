// "score +/- margin" texts: every metric that comes with both bounds of its
// confidence interval becomes one text holding the score and half the
// interval's width; the bound entries themselves are dropped.
#include "mra/quorvane/quorvane.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace vorn::quorvane {

namespace {

constexpr const char* kCalculateScoreWithMarginDoc = R"(Calculate the score with margin for each card in the risk evaluation results.

Args:
    risk_evaluation_results (dict): A dictionary of risk evaluation results.

Returns:
    dict: A dictionary with the same structure as the input,
    but with the values formatted as a string with a margin of error.

Raises:
    ValueError: If the metrics for a card are not a dictionary.
    ValueError: If the confidence interval values for a metric are not valid numbers.)";

constexpr const char* kSeparator = " +/-  ";

py::object steal(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// Texts and keys reused for every metric of a call.
struct Constants {
  py::str low_suffix{"_ci_low"};
  py::str high_suffix{"_ci_high"};
  py::str format_spec{".3f"};
  py::str separator{kSeparator};
  py::int_ two{2};
  py::tuple number_types = py::make_tuple(
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type)),
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type)));
};

bool ends_with(py::handle key, const py::str& suffix) {
  if (PyUnicode_CheckExact(key.ptr())) {
    const Py_ssize_t match = PyUnicode_Tailmatch(key.ptr(), suffix.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (match < 0) throw py::error_already_set();
    return match == 1;
  }
  return interop::truthy(key.attr("endswith")(suffix));
}

bool is_number(py::handle value, const Constants& c) {
  if (PyLong_CheckExact(value.ptr()) || PyFloat_CheckExact(value.ptr())) return true;
  const int result = PyObject_IsInstance(value.ptr(), c.number_types.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// Appends format(value, ".3f") of a float. The digits are the exact binary
// value rounded half to even at the third decimal, as the float's own
// formatter gives them (std::to_chars rounds the same way, without its
// string round trip); nan and inf are written as Python writes them.
void append_fixed3(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  char digits[400];  // the widest double in fixed notation with 3 decimals
  const auto written = std::to_chars(digits, digits + sizeof digits, value,
                                     std::chars_format::fixed, 3);
  if (written.ec != std::errc()) interop::raise(PyExc_SystemError, "float formatting failed");
  out.append(digits, written.ptr);
}

py::object formatted(const Globals& g, bool builtin_format, py::handle value, const Constants& c) {
  if (builtin_format) return steal(PyObject_Format(value.ptr(), c.format_spec.ptr()));
  return g["format"](value, c.format_spec);
}

py::object score_with_margin(const Globals& g, bool builtin_format, py::handle value,
                             py::handle ci_low, py::handle ci_high, const Constants& c) {
  if (builtin_format && PyFloat_CheckExact(value.ptr()) && PyFloat_CheckExact(ci_low.ptr()) &&
      PyFloat_CheckExact(ci_high.ptr())) {
    const double margin = (PyFloat_AS_DOUBLE(ci_high.ptr()) - PyFloat_AS_DOUBLE(ci_low.ptr())) / 2;
    std::string text;
    append_fixed3(text, PyFloat_AS_DOUBLE(value.ptr()));
    text += kSeparator;
    append_fixed3(text, margin);
    return steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  }
  py::object width = steal(PyNumber_Subtract(ci_high.ptr(), ci_low.ptr()));
  py::object margin = steal(PyNumber_TrueDivide(width.ptr(), c.two.ptr()));
  py::object score_text = formatted(g, builtin_format, value, c);
  py::object with_separator = steal(PyNumber_Add(score_text.ptr(), c.separator.ptr()));
  return steal(PyNumber_Add(with_separator.ptr(),
                            formatted(g, builtin_format, margin, c).ptr()));
}

py::object get_bound(py::handle metrics, py::handle key) {
  if (PyDict_CheckExact(metrics.ptr())) {
    PyObject* value = PyDict_GetItemWithError(metrics.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return value == nullptr ? py::object(py::none()) : py::reinterpret_borrow<py::object>(value);
  }
  return metrics.attr("get")(key);
}

// One metric entry of a card: skipped when it is a bound, shaped otherwise.
void shape_metric(const Globals& g, bool builtin_format, py::handle metrics, py::handle metric,
                  py::handle value, py::dict& shaped, const Constants& c) {
  if (ends_with(metric, c.low_suffix) || ends_with(metric, c.high_suffix)) return;
  py::object name = PyUnicode_CheckExact(metric.ptr())
                        ? py::reinterpret_borrow<py::object>(metric)
                        : py::object(interop::pystr(metric));
  py::object low_key = steal(PyUnicode_Concat(name.ptr(), c.low_suffix.ptr()));
  py::object high_key = steal(PyUnicode_Concat(name.ptr(), c.high_suffix.ptr()));
  if (!interop::contains(metrics, low_key) || !interop::contains(metrics, high_key)) {
    shaped[metric] = value;
    return;
  }
  py::object ci_low = get_bound(metrics, low_key);
  py::object ci_high = get_bound(metrics, high_key);
  if (!is_number(ci_low, c) || !is_number(ci_high, c)) {
    interop::raise_value_error(interop::concat({"Invalid confidence interval values for metric ",
                                                metric, ": ci_low=", ci_low, ", ci_high=",
                                                ci_high}));
  }
  shaped[metric] = score_with_margin(g, builtin_format, value, ci_low, ci_high, c);
}

py::dict shape_card(const Globals& g, py::handle card_name, py::handle metrics,
                    const Constants& c) {
  if (!interop::isinstance(metrics, reinterpret_cast<PyObject*>(&PyDict_Type))) {
    interop::raise_value_error(
        interop::concat({"Metrics for ", card_name, " must be a dictionary."}));
  }
  const bool builtin_format = interop::global_is(g, "format", "builtins", "format");
  py::dict shaped;
  if (PyDict_CheckExact(metrics.ptr())) {
    // The dict's own iteration, with its guard against changes made meanwhile
    // (a key's __eq__ runs Python code).
    const Py_ssize_t size = PyDict_GET_SIZE(metrics.ptr());
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(metrics.ptr(), &position, &key, &value)) {
      const auto metric = py::reinterpret_borrow<py::object>(key);
      const auto held = py::reinterpret_borrow<py::object>(value);
      shape_metric(g, builtin_format, metrics, metric, held, shaped, c);
      if (PyDict_GET_SIZE(metrics.ptr()) != size) {
        interop::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
      }
    }
    return shaped;
  }
  for (py::handle entry : metrics.attr("items")()) {
    const std::vector<py::object> item = interop::unpack(entry, 2);
    shape_metric(g, builtin_format, metrics, item[0], item[1], shaped, c);
  }
  return shaped;
}

py::object calculate_score_with_margin(const Globals& g, py::handle risk_evaluation_results) {
  return interop::logged_reraise(
      g, "Error occurred while calculating the score with margins ", [&]() -> py::object {
        return interop::as_python_errors([&]() -> py::object {
          const Constants c;
          py::dict data_with_scores;
          for (py::handle risk_entry : risk_evaluation_results.attr("items")()) {
            const std::vector<py::object> risk = interop::unpack(risk_entry, 2);
            py::dict results;
            for (py::handle card_entry : risk[1].attr("items")()) {
              const std::vector<py::object> card = interop::unpack(card_entry, 2);
              results[card[0]] = shape_card(g, card[0], card[1], c);
            }
            data_with_scores[risk[0]] = results;
          }
          return std::move(data_with_scores);
        });
      });
}

}  // namespace

void define_score_with_margin(const Globals& g) {
  interop::def_function(
      g, "calculate_score_with_margin", kCalculateScoreWithMarginDoc,
      [g](py::object risk_evaluation_results) {
        return calculate_score_with_margin(g, risk_evaluation_results);
      },
      py::arg("risk_evaluation_results"));
}

}  // namespace vorn::quorvane
