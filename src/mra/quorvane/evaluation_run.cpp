// The evaluation run: for every selected risk, the catalogue's cards are
// loaded, answered by the scoring function, scored by the benchmark library
// and shaped into metric dicts. The first failing card ends its risk; the run
// goes on with the next risk, except when the inference client cannot set its
// project, which ends the whole run.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;
using interop::truthy;

constexpr const char* kQuorvanesDoc = R"(Evaluate the risks associated with the given foundation model and store the metrics to Ledgora if needed.

Returns:
    dict: A dictionary containing the risk scores for the model and the associated metrics.)";

constexpr const char* kRisksEvaluationDoc = R"(Start the evaluation of risks for the given foundation model.

Returns:
    dict: A dictionary containing the results of the risk evaluation for each risk dimension.)";

constexpr const char* kProcessModelsAndRisksDoc = R"(Process the risks dimension for the given foundation model.

Args:
    scoring_function (callable): A function that takes a list of prompts and returns predictions.
    risks_dimension_name (str): The risk dimension to evaluate.

Returns:
    tuple: (risk_evaluation_result, risk_failed_cards).)";

// Cards that are never evaluated, whatever the catalogue lists for a risk.
py::list invalid_cards() {
  py::list cards;
  for (const char* card : {"cards.safety.quellin", "cards.data_leakage.empty_data_leakage_card",
                           "cards.safety.simple_safety_tests", "cards.toxigen", "cards.pop_qa",
                           "cards.ethos_binary",
                           "cards.prompt_leakage.glue_qnli_with_system_prompt"}) {
    cards.append(card);
  }
  return cards;
}

// dict(value), always a new dict (pybind11's py::dict(value) would hand back
// a dict argument itself).
py::object new_dict(py::handle value) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyDict_Type))(value);
}

// The catalogue's cards of one risk, without the cards that are never
// evaluated.
py::list get_valid_risk_cards(const Globals& g, py::handle risks_dimension_name,
                              py::handle excluded) {
  py::object cards_for = g["risk_to_cards"].attr("get_cards_for_risk");
  py::object risk_cards = cards_for(g["risk"].attr("RISK_MORVEL_DICO")[risks_dimension_name]);
  if (!truthy(risk_cards)) {
    interop::log_warning(g, concat({"No Cards found for risk ", risks_dimension_name}));
  }
  py::list valid_cards;
  for (py::handle card : risk_cards) {
    if (!interop::contains(excluded, card)) valid_cards.append(card);
  }
  return valid_cards;
}

// One card: its test data, the model's answers to all its prompts in one call
// of the scoring function, the library's global scores, cleaned and ordered.
py::object evaluate_card(const Globals& g, py::handle self, py::handle scoring_function,
                         py::handle card) {
  using namespace py::literals;
  py::object dataset = g["load_dataset_with_fallback"](
      "card"_a = card, "max_sample_size"_a = self.attr("max_sample_size"));
  py::list prompts;
  for (py::handle item : dataset) prompts.append(item[py::str("source")]);
  if (py::len(prompts) == 0) {
    interop::raise_value_error(concat({"No valid input prompts found for card ", card}));
  }
  py::object frame = g["pd"].attr("DataFrame")(prompts);
  py::object predictions =
      scoring_function(frame)[py::str("generated_text")].attr("tolist")();
  if (!truthy(predictions)) {
    interop::raise_value_error(concat({"Failed to get predictions for card ", card}));
  }
  py::object results = g["evaluate"]("predictions"_a = predictions, "data"_a = dataset);
  py::object global_scores = results[py::int_(0)][py::str("score")][py::str("global")];
  py::object pairs = g["normalize_metrics_values"]("metrics"_a = global_scores.attr("items")());
  return g["reordered_metric_dict"](new_dict(pairs));
}

// The warning of a failed card: the handler's own wording, then the error and
// its cause as str() renders them.
py::str card_failure_message(py::handle card, py::handle risk, const char* error_label,
                             py::handle error, const char* cause_label, const char* tail) {
  return concat({"Error processing card ", card, " in risk dimension ", risk, error_label, error,
                 cause_label, error.attr("__cause__"), tail});
}

py::tuple process_models_and_risks(const Globals& g, py::handle self,
                                   py::handle scoring_function,
                                   py::handle risks_dimension_name) {
  py::list risk_failed_cards;
  const py::list excluded = invalid_cards();
  interop::log_debug(g, concat({"Evaluation for ", risks_dimension_name, " is processing"}));
  const py::list valid_cards = get_valid_risk_cards(g, risks_dimension_name, excluded);

  py::dict risk_evaluation_result;
  for (py::handle card : valid_cards) {
    interop::log_debug(g, concat({card, " is processing"}));
    try {
      interop::as_python_errors([&] {
        risk_evaluation_result[card] = evaluate_card(g, self, scoring_function, card);
        return 0;
      });
      continue;
    } catch (py::error_already_set& error) {
      if (!interop::is_exception(error)) throw;
      interop::Handling handling(error);
      py::handle e = error.value();
      if (error.matches(PyExc_RuntimeError)) {
        interop::log_warning(
            g, card_failure_message(card, risks_dimension_name, ": Error: ", e, "; cause:",
                                    " This benchmark relies on LLMJ, and an error occurred "));
      } else if (error.matches(g["CannotSetProjectOrSpace"])) {
        // The inference client cannot work at all: no later card could.
        interop::log_warning(
            g, card_failure_message(card, risks_dimension_name, ": Error:", e, "; cause:", ""));
        throw;
      } else {
        interop::log_warning(
            g, card_failure_message(card, risks_dimension_name, ": Error:", e, ";  cause:", ""));
      }
      // The first failing card ends the risk; what its other cards gave is dropped.
      risk_failed_cards.append(card);
      interop::log_warning(
          g, concat({"Risk ", risks_dimension_name, " failed due to card errors."}));
      return py::make_tuple(py::none(), risk_failed_cards);
    }
  }
  return py::make_tuple(risk_evaluation_result, risk_failed_cards);
}

py::dict risks_evaluation(const Globals& g, py::handle self) {
  py::dict risk_evaluation_results;
  py::list failed_to_evaluate_risks;
  for (py::handle risk_dimension : self.attr("risk_dimensions")) {
    interop::print(g, concat({"Processing ", risk_dimension}));
    const std::vector<py::object> outcome = interop::unpack(
        self.attr("process_models_and_risks")(self.attr("scoring_function"), risk_dimension),
        2);
    if (truthy(outcome[0])) risk_evaluation_results[risk_dimension] = outcome[0];
    if (truthy(outcome[1])) {
      py::dict failure;
      failure[risk_dimension] = outcome[1];
      failed_to_evaluate_risks.append(failure);
    }
  }
  if (py::len(failed_to_evaluate_risks) > 0) {
    interop::log_warning(g, concat({"Evaluation failed for the following risks: ",
                                    failed_to_evaluate_risks,
                                    ". Please try to run these risks again."}));
  }
  return risk_evaluation_results;
}

py::object quorvanes(const Globals& g, py::handle self) {
  return interop::logged_reraise(
      g, "Error occurred when evaluating the request: ", [&]() -> py::object {
        return interop::as_python_errors([&]() -> py::object {
          if (self.attr("system_credentials").attr("get")("lg_url").is_none()) {
            py::object results = self.attr("risks_evaluation")();
            return g["calculate_score_with_margin"](results);
          }
          return run_with_ledgora(g, self);
        });
      });
}

}  // namespace

void define_evaluation_run(const Globals& g, py::handle cls) {
  interop::def_method(cls, "quorvanes", kQuorvanesDoc,
                      [g](py::object self) { return quorvanes(g, self); });
  interop::def_method(cls, "risks_evaluation", kRisksEvaluationDoc,
                      [g](py::object self) { return risks_evaluation(g, self); });
  interop::def_method(
      cls, "process_models_and_risks", kProcessModelsAndRisksDoc,
      [g](py::object self, py::object scoring_function, py::object risks_dimension_name) {
        return process_models_and_risks(g, self, scoring_function, risks_dimension_name);
      },
      py::arg("scoring_function"), py::arg("risks_dimension_name"));
}

}  // namespace vorn::quorvane
