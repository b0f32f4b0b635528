// The evaluation run when the credentials name a GRC service: values already
// stored there are read back, only the risks still missing are evaluated, and
// every new value is published, metric by metric.
#include "mra/quorvane/quorvane.hpp"

#include <vector>

namespace vorn::quorvane {

namespace {

using interop::concat;

bool is_one_of(py::handle key, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (interop::truthy(interop::compare(key, py::str(name), Py_EQ))) return true;
  }
  return false;
}

struct Publication {
  py::object metric_name;
  py::object metric_value;
};

// "risk, card, key" by concatenation: a key that is not text raises the
// TypeError of `+` rather than being published under its str().
py::object metric_name_of(py::handle risk_name, py::handle card_name, py::handle key) {
  const py::str separator(", ");
  return risk_name + separator + card_name + separator + key;
}

// Every metric of the run in publishing order: per card the main score
// first, then every other entry in the card's order; the score's name is not
// a value and is never published. Names and values are checked here, before
// the first request, so a value that cannot be stored leaves the service
// untouched instead of failing half-way and triggering the rollback.
std::vector<Publication> publications_of(const Globals& g, py::handle results) {
  std::vector<Publication> publications;
  auto add = [&](py::handle risk_name, py::handle card_name, py::handle key, py::object value) {
    py::object metric_name = metric_name_of(risk_name, card_name, key);
    grc::value_to_publish(g, metric_name, value);
    publications.push_back({metric_name, value});
  };
  for (py::handle risk_entry : results.attr("items")()) {
    const std::vector<py::object> risk = interop::unpack(risk_entry, 2);
    for (py::handle card_entry : risk[1].attr("items")()) {
      const std::vector<py::object> card = interop::unpack(card_entry, 2);
      add(risk[0], card[0], py::str("score"), card[1][py::str("score")]);
      for (py::handle entry : card[1].attr("items")()) {
        const std::vector<py::object> item = interop::unpack(entry, 2);
        if (!is_one_of(item[0], {"score_name", "score"})) add(risk[0], card[0], item[0], item[1]);
      }
    }
  }
  return publications;
}

}  // namespace

py::object run_with_ledgora(const Globals& g, py::handle self) {
  using namespace py::literals;
  auto credential = [&](const char* key) {
    return self.attr("system_credentials").attr("get")(key);
  };
  // Every run covers the selection the evaluator was built with. An evaluator
  // made without the constructor keeps its risk_dimensions as its selection
  // before the first run narrows them.
  py::object selection = interop::getattr_or(self, "selected_risk_dimensions", py::handle());
  if (!selection) {
    selection = self.attr("risk_dimensions");
    self.attr("selected_risk_dimensions") = selection;
  }
  py::dict lg_risk_evaluation_results;
  py::object header = self.attr("connect_to_ledgora")();
  py::object model_id = g["get_lg_model_id"](header, credential("lg_model_id"), credential("lg_url"));
  py::object link = self.attr("get_ledgora_metric_link")(model_id);
  py::object definitions =
      g["get_lg_model_metrics_definitions"](header, model_id, selection, credential("lg_url"));

  // risk_dimensions becomes what this run evaluates, publishes and, on
  // failure, rolls back: the selection, less the risks stored already.
  if (py::len(definitions) > 0) {
    py::object values =
        g["return_existing_metric_value"](definitions, header, "lg_url"_a = credential("lg_url"));
    lg_risk_evaluation_results.attr("update")(g["normalize_ledgora_data"](values));
    py::object risks_missing =
        g["check_if_all_risks_are_evaluated"](selection, lg_risk_evaluation_results);
    self.attr("risk_dimensions") = risks_missing;
    if (!interop::truthy(risks_missing)) {
      interop::print(g, concat({"Metrics have already been saved before, and are being "
                                "retrieved from ",
                                link}));
      return g["calculate_score_with_margin"](lg_risk_evaluation_results);
    }
  } else {
    self.attr("risk_dimensions") = selection;
  }

  py::object results = self.attr("risks_evaluation")();
  const std::vector<Publication> publications = publications_of(g, results);
  py::object lg_url = credential("lg_url");
  grc::rolled_back_on_interrupt(g, self, lg_url, model_id, header, [&] {
    py::object publish = self.attr("publish_metrics_to_ledgora");
    for (const Publication& publication : publications) {
      publish("metric_name"_a = publication.metric_name,
              "metric_value"_a = publication.metric_value, "header"_a = header,
              "model_id"_a = model_id, "lg_url"_a = lg_url);
    }
  });
  lg_risk_evaluation_results.attr("update")(results);
  // Risks whose evaluation failed were named in the run's warning; nothing
  // published is no success.
  if (!publications.empty()) {
    interop::print(g, concat({"Metrics have been successfully saved and published to ", link}));
  }
  return std::move(lg_risk_evaluation_results);
}

}  // namespace vorn::quorvane
