// The evaluation run backed by the GRC service: what the service already
// stores for the selected risks is read back, only the missing risks are
// evaluated, and every new value is published.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using namespace py::literals;

// Publishes one card: its main score first, then every other entry in the
// card's order; the name of the score is not a metric.
void publish_card(const Globals& g, py::handle self, py::handle header, py::handle model_id,
                  py::object risk_name, py::object card_name, py::handle metrics) {
  auto publish = [&](py::object metric_name, py::handle value) {
    self.attr("publish_metrics_to_ledgora")(
        "metric_name"_a = metric_name, "metric_value"_a = value, "header"_a = header,
        "model_id"_a = model_id,
        "lg_url"_a = self.attr("system_credentials").attr("get")("lg_url"));
  };
  const py::str separator(", ");
  py::object card_prefix = risk_name + separator + card_name;
  publish(card_prefix + py::str(", score"), metrics["score"]);
  for (py::handle item : metrics.attr("items")()) {
    std::vector<py::object> pair = interop::unpack(item, 2);
    const py::object& key = pair[0];
    if (interop::truthy(interop::compare(key, py::str("score_name"), Py_EQ)) ||
        interop::truthy(interop::compare(key, py::str("score"), Py_EQ))) {
      continue;
    }
    publish(card_prefix + separator + key, pair[1]);
  }
}

}  // namespace

py::object run_with_ledgora(const Globals& g, py::handle self) {
  auto lg_url = [&] { return self.attr("system_credentials").attr("get")("lg_url"); };
  py::dict lg_risk_evaluation_results;
  py::object header = self.attr("connect_to_ledgora")();
  py::object model_id = g["get_lg_model_id"](
      header, self.attr("system_credentials").attr("get")("lg_model_id"), lg_url());
  py::object link = self.attr("get_ledgora_metric_link")(model_id);
  py::object definitions = g["get_lg_model_metrics_definitions"](
      header, model_id, self.attr("risk_dimensions"), lg_url());

  if (py::len(definitions) > 0) {
    py::object values = g["return_existing_metric_value"](definitions, header, "lg_url"_a = lg_url());
    lg_risk_evaluation_results.attr("update")(g["normalize_ledgora_data"](values));
    py::object risks_missing = g["check_if_all_risks_are_evaluated"](
        self.attr("risk_dimensions"), lg_risk_evaluation_results);
    self.attr("risk_dimensions") = risks_missing;
    if (!interop::truthy(risks_missing)) {
      interop::print(g, interop::concat({"Metrics have already been saved before, and are being "
                                         "retrieved from ",
                                         link}));
      return g["calculate_score_with_margin"](lg_risk_evaluation_results);
    }
  }

  py::object results = self.attr("risks_evaluation")();
  for (py::handle risk : results.attr("items")()) {
    std::vector<py::object> risk_pair = interop::unpack(risk, 2);
    for (py::handle card : risk_pair[1].attr("items")()) {
      std::vector<py::object> card_pair = interop::unpack(card, 2);
      publish_card(g, self, header, model_id, risk_pair[0], card_pair[0], card_pair[1]);
    }
  }
  lg_risk_evaluation_results.attr("update")(results);
  interop::print(g, interop::concat({"Metrics have been successfully saved and published to ",
                                     link}));
  return std::move(lg_risk_evaluation_results);
}

}  // namespace vorn::quorvane
