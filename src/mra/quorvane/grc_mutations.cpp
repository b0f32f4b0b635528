// Writes to the GRC service: the bodies of metric objects and metric values,
// their creation, and the deletion of a model's metric objects for a list of
// risks (the rollback of a failed publication).
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;
using namespace py::literals;

py::dict field_object(const char* name, const char* data_type, const char* member,
                      py::handle value) {
  py::dict field;
  field["name"] = name;
  field["dataType"] = data_type;
  field[member] = value;
  return field;
}

py::dict enum_value(const char* name) {
  py::dict value;
  value["name"] = name;
  return value;
}

py::dict fields_of(std::initializer_list<py::dict> items) {
  py::list list;
  for (const py::dict& item : items) list.append(item);
  py::dict fields;
  fields["field"] = list;
  return fields;
}

// The description names the metric between single quotes; the query side
// reads the name back from the text after the first one.
py::object metric_description(py::handle metric_name) {
  return py::str("MRA score for '") + metric_name + py::str("'");
}

py::dict get_metric_object_payload(py::object primary_parent_id, py::object metric_name) {
  py::dict payload;
  payload["name"] = metric_name;
  payload["description"] = metric_description(metric_name);
  payload["typeDefinitionId"] = "Metric";
  payload["primaryParentId"] = primary_parent_id;
  payload["fields"] = fields_of(
      {field_object("ZKR-Metric:Data Source", "STRING_TYPE", "value",
                    py::str("orvia.governance")),
       field_object("ZKR-Metric:Frequency", "ENUM_TYPE", "enumValue",
                    enum_value("Multiple times a day"))});
  return payload;
}

py::dict get_metric_value_payload(py::object primary_parent_id, py::object metric_name,
                                  py::object metric_value) {
  py::dict payload;
  payload["typeDefinitionId"] = "MetricValue";
  payload["primaryParentId"] = primary_parent_id;
  payload["description"] = metric_description(metric_name);
  payload["fields"] = fields_of(
      {field_object("ZKR-Metric-Shared:Breach Status", "ENUM_TYPE", "enumValue",
                    enum_value("Green")),
       field_object("ZKR-Metric-Shared:Red Threshold", "FLOAT_TYPE", "value", py::float_(0.5)),
       field_object("ZKR-MetricVal:Value", "FLOAT_TYPE", "value", metric_value)});
  return payload;
}

// The id of a created record: "id", or else the "Resource ID" field of a
// "fields" list; None when the answer holds neither.
py::object created_id(py::handle response) {
  py::object id = response.attr("get")("id");
  if (id.is_none() && interop::isinstance(response.attr("get")("fields"),
                                          reinterpret_cast<PyObject*>(&PyList_Type))) {
    for (py::handle field : response.attr("get")("fields")) {
      if (interop::truthy(
              interop::compare(field.attr("get")("name"), py::str("Resource ID"), Py_EQ))) {
        return field.attr("get")("value");
      }
    }
  }
  return id;
}

// POSTs a record body to the contents endpoint. Any failure of the request or
// of its answer is reported on standard output and gives None, which the
// publishing flow turns into a rollback.
py::object create_content(const Globals& g, py::handle payload, py::handle lg_url,
                          py::object target, py::handle header, const char* failure) {
  const bool verify = grc::verifies_certificates(lg_url);
  py::object response;
  try {
    interop::as_python_errors([&] {
      response = g["requests"]
                     .attr("post")(target, "json"_a = payload, "headers"_a = header,
                                   "verify"_a = verify, "timeout"_a = grc::kRequestTimeout)
                     .attr("json")();
    });
  } catch (py::error_already_set& error) {
    if (!interop::is_exception(error)) throw;
    const interop::Handling handling(error);
    interop::print(g, concat({failure, error.value()}));
    return py::none();
  }
  if (response.is_none()) return py::none();
  return created_id(response);
}

py::object create_metrics_object(const Globals& g, py::object metric_object_payload,
                                 py::object lg_url, py::object header) {
  py::object target = lg_url + py::str("/grc/api/contents");
  if (grc::is_hxd_url(lg_url)) target = lg_url + py::str("/api/contents");
  return create_content(g, metric_object_payload, lg_url, target, header,
                        "[ERROR] Failed to create metric object: ");
}

py::object add_metric_value_to_metric_object(const Globals& g, py::object metric_value_payload,
                                             py::object lg_url, py::object header) {
  py::object target = grc::without_trailing_slashes(lg_url) + py::str("/grc/api/contents");
  if (grc::is_hxd_url(lg_url)) target = lg_url + py::str("/api/contents");
  return create_content(g, metric_value_payload, lg_url, target, header,
                        "[ERROR] Failed to create metric value: ");
}

// Deletes every metric object of the model that belongs to one of the risks,
// as the definitions query finds them (older runs' objects too), and no
// object of another risk whose name merely contains one of them.
void delete_metrics_object(const Globals& g, py::object lg_url, py::object model_id,
                           py::object risk_name, py::object header) {
  py::object definitions = g["get_lg_model_metrics_definitions"](header, model_id, risk_name,
                                                                 lg_url);
  if (!interop::truthy(definitions)) return;
  for (py::handle item : definitions.attr("items")()) {
    std::vector<py::object> pair = interop::unpack(item, 2);
    for (py::handle record : pair[1]) {
      py::object metric_id = g["int"](record["metric_id"]);
      py::object target = concat({grc::without_trailing_slashes(lg_url),
                                  "/lggrc/api/v2/contents/", metric_id});
      if (grc::is_hxd_url(lg_url)) target = concat({lg_url, "/api/contents/", metric_id});
      g["requests"].attr("delete")(target, "headers"_a = header,
                                   "verify"_a = grc::verifies_certificates(lg_url),
                                   "timeout"_a = grc::kRequestTimeout);
    }
  }
  interop::log_debug(g, "all metrics object got deleted");
}

}  // namespace

void define_grc_mutation_functions(const Globals& g) {
  interop::def_function(
      g, "get_metric_object_payload",
      "Return the body of a new Ledgora metric object named metric_name under the\n"
      "model record primary_parent_id.",
      [](py::object primary_parent_id, py::object metric_name) {
        return get_metric_object_payload(primary_parent_id, metric_name);
      },
      py::arg("primary_parent_id"), py::arg("metric_name"));
  interop::def_function(
      g, "get_metric_value_payload",
      "Return the body of a new Ledgora metric value holding metric_value under the\n"
      "metric object primary_parent_id.",
      [](py::object primary_parent_id, py::object metric_name, py::object metric_value) {
        return get_metric_value_payload(primary_parent_id, metric_name, metric_value);
      },
      py::arg("primary_parent_id"), py::arg("metric_name"), py::arg("metric_value"));
  interop::def_function(
      g, "create_metrics_object",
      "Create a metric object in Ledgora and return its id, or None when it failed.",
      [g](py::object metric_object_payload, py::object lg_url, py::object header) {
        return create_metrics_object(g, metric_object_payload, lg_url, header);
      },
      py::arg("metric_object_payload"), py::arg("lg_url"), py::arg("header"));
  interop::def_function(
      g, "add_metric_value_to_metric_object",
      "Add a metric value to a metric object in Ledgora and return its id, or None\n"
      "when it failed.",
      [g](py::object metric_value_payload, py::object lg_url, py::object header) {
        return add_metric_value_to_metric_object(g, metric_value_payload, lg_url, header);
      },
      py::arg("metric_value_payload"), py::arg("lg_url"), py::arg("header"));
  interop::def_function(
      g, "delete_metrics_object",
      "Delete every metric object of the model that belongs to one of the risks in\n"
      "risk_name (a list of risk names): its name is \"risk, card, metric\" for that risk.",
      [g](py::object lg_url, py::object model_id, py::object risk_name, py::object header) {
        delete_metrics_object(g, lg_url, model_id, risk_name, header);
      },
      py::arg("lg_url"), py::arg("model_id"), py::arg("risk_name"), py::arg("header"));
}

}  // namespace vorn::quorvane
