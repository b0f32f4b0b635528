// Which risks the catalogue can evaluate, and which selected risks a results
// mapping still lacks.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

// Risks that have at least one benchmark card, in the catalogue's key order.
// As in a comprehension over the catalogue's keys, the card lookup and the
// catalogue entry are read from the module globals for each key, so nothing
// is looked up for an empty catalogue.
py::list get_available_risks(const Globals& g) {
  py::list available_risks;
  for (py::handle risk_tag : g["risk"].attr("RISK_MORVEL_DICO").attr("keys")()) {
    py::object cards_for = g["risk_to_cards"].attr("get_cards_for_risk");
    py::object entry = g["risk"].attr("RISK_MORVEL_DICO")[risk_tag];
    if (py::len(cards_for(entry)) > 0) available_risks.append(risk_tag);
  }
  return available_risks;
}

py::list check_if_all_risks_are_evaluated(const Globals& g, py::object risk_dimensions,
                                          py::object risk_evaluation_results) {
  py::list risks_missing;
  for (py::handle risk : risk_dimensions) {
    if (!interop::contains(risk_evaluation_results, risk)) risks_missing.append(risk);
  }
  if (py::len(risks_missing) > 0) {
    interop::log_warning(
        g, interop::concat({"The risks ", risks_missing, " were not stored in Ledgora"}));
    interop::log_warning(g, interop::concat({"These risk: ", risks_missing,
                                             " will be evaluated and stored in Ledgora"}));
  }
  return risks_missing;
}

}  // namespace

void define_risk_catalogue_functions(const Globals& g) {
  interop::def_function(
      g, "get_available_risks",
      "Return the risk tags of the risk catalogue that have at least one benchmark card.",
      [g]() { return get_available_risks(g); });
  interop::def_function(
      g, "check_if_all_risks_are_evaluated",
      "Return the risks of risk_dimensions that are not keys of "
      "risk_evaluation_results, logging a warning when there are any.",
      [g](py::object risk_dimensions, py::object risk_evaluation_results) {
        return check_if_all_risks_are_evaluated(g, std::move(risk_dimensions),
                                                std::move(risk_evaluation_results));
      },
      py::arg("risk_dimensions"), py::arg("risk_evaluation_results"));
}

}  // namespace vorn::quorvane
