// Publishing one metric to the GRC service (a metric object, then its value,
// with a rollback when either fails) and the link to the model's task view.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;
using interop::log_debug;

constexpr const char* kPublishDoc = R"(Store one metric in Ledgora: a metric object under the model, then its value.

A list value is stored as its mean; every value is rounded to 4 decimals
(numpy numbers as Python numbers). A value that is not a finite int or float
raises TypeError or ValueError before anything is sent. When the object or
the value cannot be created, the metric objects of the evaluator's risk
dimensions are deleted and an Exception is raised; an interrupt
(KeyboardInterrupt, SystemExit) deletes them too and is raised again.

Args:
    metric_name (str): Name of the metric ("risk, card, metric").
    metric_value (float | list): The value, or a list of values.
    header (dict): Headers from connect_to_ledgora.
    model_id (str): Resource id of the model record.
    lg_url (str): Base URL of Ledgora.

Returns:
    bool: True once the metric is stored.)";

constexpr const char* kLinkDoc = R"(Return the link to the model's task view in Ledgora.

Args:
    model_id (str): Resource id of the model record.

Returns:
    str: The link.

Raises:
    ValueError: If no Ledgora URL is configured.)";

// The rollback of a publication: every metric object of the model whose
// description names one of the evaluator's risk dimensions.
void delete_risk_metrics(const Globals& g, py::handle self, py::handle lg_url,
                         py::handle model_id, py::handle header) {
  g["delete_metrics_object"](lg_url, model_id, self.attr("risk_dimensions"), header);
}

// Undo after a failed step: delete the metric objects of the run's risks and
// raise the step's message.
[[noreturn]] void roll_back(const Globals& g, py::handle self, py::handle lg_url,
                            py::handle model_id, py::handle header, const char* reason,
                            const char* message) {
  log_debug(g, reason);
  delete_risk_metrics(g, self, lg_url, model_id, header);
  interop::raise_exception(message);
}

// Guards nest: a run publishes each metric through publish_metrics_to_ledgora,
// which guards itself for callers that publish one metric. Only the
// outermost guard of the thread rolls back, so an interrupt inside a
// publication deletes the metrics once, not once per guard it passes.
thread_local int publishing_guards = 0;

class GuardDepth {
 public:
  GuardDepth() { ++publishing_guards; }
  ~GuardDepth() { --publishing_guards; }
  GuardDepth(const GuardDepth&) = delete;
  GuardDepth& operator=(const GuardDepth&) = delete;
};

}  // namespace

void grc::rolled_back_on_interrupt(const Globals& g, py::handle self, py::handle lg_url,
                                   py::handle model_id, py::handle header,
                                   const std::function<void()>& publishing) {
  const bool outermost = publishing_guards == 0;
  try {
    const GuardDepth depth;
    interop::as_python_errors(publishing);
  } catch (py::error_already_set& interrupt) {
    if (!outermost) throw;
    if (interop::is_exception(interrupt)) throw;
    {
      const interop::Handling handling(interrupt);
      log_debug(g, "Publishing was interrupted, all metrics will be deleted");
      try {
        interop::as_python_errors([&] { delete_risk_metrics(g, self, lg_url, model_id, header); });
      } catch (py::error_already_set& failure) {
        // A second interrupt goes on instead of the first. An error of the
        // rollback must not replace the interrupt, but the store may now be
        // partial: say so.
        if (!interop::is_exception(failure)) throw;
        const interop::Handling nested(failure);
        interop::log_warning(g, concat({"The metrics published before the interrupt could "
                                        "not be deleted from Ledgora: ",
                                        failure.value()}));
      }
    }
    throw;
  }
}

namespace {

bool publish_metrics_to_ledgora(const Globals& g, py::object self, py::object metric_name,
                                py::object metric_value, py::object header,
                                py::object model_id, py::object lg_url) {
  log_debug(g, metric_name + py::str(":Creating metric object"));
  // Computed before anything is sent, so a value that cannot be stored fails
  // without leaving a metric object behind.
  py::object value = grc::value_to_publish(g, metric_name, metric_value);

  py::object metric_object_id;
  py::object metric_value_id;
  grc::rolled_back_on_interrupt(g, self, lg_url, model_id, header, [&] {
    py::object object_payload = g["get_metric_object_payload"](model_id, metric_name);
    metric_object_id = g["create_metrics_object"](object_payload, lg_url, header);
    if (metric_object_id.is_none()) {
      roll_back(g, self, lg_url, model_id, header,
                "Unable to create metrics object, all metrics will be deleted ",
                "Unable to create metrics object, please try again");
    }
    py::object value_payload =
        g["get_metric_value_payload"](metric_object_id, metric_name, value);
    metric_value_id = g["add_metric_value_to_metric_object"](value_payload, lg_url, header);
    if (metric_value_id.is_none()) {
      roll_back(g, self, lg_url, model_id, header,
                "Unable to add metric value to metric object, all metrics will be deleted ",
                "Unable to add metric value to metric object, please try again");
    }
  });

  log_debug(g, metric_name + interop::concat({": Metric Object ID: ", metric_object_id,
                                              ", Metric Value Object ID: ", metric_value_id,
                                              "\n"}));
  return true;
}

py::object get_ledgora_metric_link(py::object self, py::object model_id) {
  py::object lg_url = self.attr("system_credentials").attr("get")("lg_url");
  if (lg_url.is_none()) interop::raise_value_error("Ledgora URL is required to generate the link");
  if (!interop::truthy(lg_url.attr("endswith")("/"))) lg_url = lg_url + py::str("/");
  return lg_url + py::str("app/jspview/react/grc/task-view/") + model_id;
}

}  // namespace

void define_grc_publishing(const Globals& g, py::handle cls) {
  interop::def_method(
      cls, "publish_metrics_to_ledgora", kPublishDoc,
      [g](py::object self, py::object metric_name, py::object metric_value, py::object header,
          py::object model_id, py::object lg_url) {
        return publish_metrics_to_ledgora(g, self, metric_name, metric_value, header, model_id,
                                          lg_url);
      },
      py::arg("metric_name"), py::arg("metric_value"), py::arg("header"), py::arg("model_id"),
      py::arg("lg_url"));
  interop::def_method(
      cls, "get_ledgora_metric_link", kLinkDoc,
      [](py::object self, py::object model_id) { return get_ledgora_metric_link(self, model_id); },
      py::arg("model_id"));
}

}  // namespace vorn::quorvane
