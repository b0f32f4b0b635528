// The executive summary of the report: the main score of every card, and
// nothing else.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;
using interop::isinstance;

constexpr const char* kExecutiveSummaryDoc = R"(Creates an executive summary from a risk_evaluation_results
that contain only the main score.

Args:
    data (dict): The input data, which must be a dictionary.

Returns:
    dict: The executive summary, which is a dictionary with risk
    names as keys and dictionaries of scores and score names as values.

Raises:
    TypeError: If the input data is not a dictionary.
    TypeError: If a risk card or card data is not a dictionary.
    ValueError: If a card data does not have a 'score' key.)";

bool is_dict(py::handle value) {
  return isinstance(value, reinterpret_cast<PyObject*>(&PyDict_Type));
}

// A score text ("0.750 +/-  0.050") is read by the report's own parser, read
// from the module globals so a caller can substitute it; a number is kept as
// it is.
py::object main_score(const Globals& g, py::handle score) {
  if (isinstance(score, reinterpret_cast<PyObject*>(&PyUnicode_Type))) {
    return g["extract_numeric_value"](score);
  }
  return py::reinterpret_borrow<py::object>(score);
}

py::dict get_executive_summary(const Globals& g, py::object risk_evaluation_results) {
  if (!is_dict(risk_evaluation_results)) {
    interop::raise(PyExc_TypeError, "Input data must be a dictionary.");
  }
  py::dict executive_summary;
  for (py::handle item : risk_evaluation_results.attr("items")()) {
    const std::vector<py::object> risk = interop::unpack(item, 2);
    const py::object& risk_name = risk[0];
    const py::object& risk_card = risk[1];
    if (!is_dict(risk_card)) {
      interop::raise(PyExc_TypeError,
                     concat({"Risk card '", risk_name, "' must be a dictionary."}));
    }
    py::dict cards;
    executive_summary[risk_name] = cards;
    for (py::handle card_item : risk_card.attr("items")()) {
      const std::vector<py::object> card = interop::unpack(card_item, 2);
      const py::object& card_name = card[0];
      const py::object& card_data = card[1];
      if (!is_dict(card_data)) {
        interop::raise(PyExc_TypeError,
                       concat({"Card '", card_name, "' must be a dictionary."}));
      }
      if (!interop::contains(card_data, py::str("score"))) {
        interop::raise(PyExc_ValueError,
                       concat({"Card '", card_name, "' must have 'score' keys."}));
      }
      py::dict summary;
      summary["score"] = main_score(g, card_data[py::str("score")]);
      cards[card_name] = summary;
    }
  }
  return executive_summary;
}

}  // namespace

void define_executive_summary_function(const Globals& g) {
  interop::def_function(
      g, "get_executive_summary", kExecutiveSummaryDoc,
      [g](py::object risk_evaluation_results) {
        return get_executive_summary(g, std::move(risk_evaluation_results));
      },
      py::arg("risk_evaluation_results"));
}

}  // namespace vorn::quorvane
