// The evaluation run when the credentials name a GRC service: values already
// stored there are read back, only the risks still missing are evaluated, and
// every new value is published, metric by metric.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;

bool is_one_of(py::handle key, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (interop::truthy(interop::compare(key, py::str(name), Py_EQ))) return true;
  }
  return false;
}

// One card's metrics: the main score first, then every other entry in the
// card's order; the score's name is not a value and is never published.
void publish_card(py::handle self, py::handle risk_name, py::handle card_name,
                  py::handle metrics, py::handle header, py::handle model_id,
                  py::handle lg_url) {
  using namespace py::literals;
  py::object publish = self.attr("publish_metrics_to_ledgora");
  publish("metric_name"_a = concat({risk_name, ", ", card_name, ", score"}),
          "metric_value"_a = metrics[py::str("score")], "header"_a = header,
          "model_id"_a = model_id, "lg_url"_a = lg_url);
  for (py::handle entry : metrics.attr("items")()) {
    const std::vector<py::object> item = interop::unpack(entry, 2);
    if (is_one_of(item[0], {"score_name", "score"})) continue;
    publish("metric_name"_a = concat({risk_name, ", ", card_name, ", ", item[0]}),
            "metric_value"_a = item[1], "header"_a = header, "model_id"_a = model_id,
            "lg_url"_a = lg_url);
  }
}

}  // namespace

py::object run_with_ledgora(const Globals& g, py::handle self) {
  using namespace py::literals;
  auto credential = [&](const char* key) {
    return self.attr("system_credentials").attr("get")(key);
  };
  py::dict lg_risk_evaluation_results;
  py::object header = self.attr("connect_to_ledgora")();
  py::object model_id = g["get_lg_model_id"](header, credential("lg_model_id"), credential("lg_url"));
  py::object link = self.attr("get_ledgora_metric_link")(model_id);
  py::object definitions = g["get_lg_model_metrics_definitions"](
      header, model_id, self.attr("risk_dimensions"), credential("lg_url"));

  if (py::len(definitions) > 0) {
    py::object values =
        g["return_existing_metric_value"](definitions, header, "lg_url"_a = credential("lg_url"));
    lg_risk_evaluation_results.attr("update")(g["normalize_ledgora_data"](values));
    py::object risks_missing = g["check_if_all_risks_are_evaluated"](
        self.attr("risk_dimensions"), lg_risk_evaluation_results);
    // A later run on this evaluator evaluates only what is still missing.
    self.attr("risk_dimensions") = risks_missing;
    if (!interop::truthy(risks_missing)) {
      interop::print(g, concat({"Metrics have already been saved before, and are being "
                                "retrieved from ",
                                link}));
      return g["calculate_score_with_margin"](lg_risk_evaluation_results);
    }
  }

  py::object results = self.attr("risks_evaluation")();
  for (py::handle risk_entry : results.attr("items")()) {
    const std::vector<py::object> risk = interop::unpack(risk_entry, 2);
    for (py::handle card_entry : risk[1].attr("items")()) {
      const std::vector<py::object> card = interop::unpack(card_entry, 2);
      publish_card(self, risk[0], card[0], card[1], header, model_id, credential("lg_url"));
    }
  }
  lg_risk_evaluation_results.attr("update")(results);
  interop::print(g, concat({"Metrics have been successfully saved and published to ", link}));
  return std::move(lg_risk_evaluation_results);
}

}  // namespace vorn::quorvane
