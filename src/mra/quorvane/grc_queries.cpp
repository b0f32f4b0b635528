// Reads from the GRC service's query interface: the model record's id, the
// metric objects stored under it per risk, and the value of each of them.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;
using interop::log_debug;
using interop::raise_exception;
using interop::truthy;
using namespace py::literals;

// The two installations take the same statements with different column
// lists; {0} and {1} are the inserted values.
struct QueryText {
  const char* hxd;
  const char* cloud;
};

constexpr QueryText kModelIdQuery{
    "SELECT [Model].[Resource ID] FROM [Model] WHERE [Model].[Name] IN ('{0}')",
    "SELECT [Resource ID] FROM [Model] WHERE [Name] IN ('{0}')"};

// Both forms select the object's name: the LIKE finds the objects of every
// risk whose name contains this one, and the name tells them apart.
constexpr QueryText kMetricObjectsQuery{
    "SELECT [Metric].[Resource ID], [Metric].[Name] FROM [Model] JOIN [Metric] ON PARENT([Model]) "
    "WHERE [Model].[Resource ID]='{0}' AND [Metric].[Description] LIKE '%{1}%'",
    "SELECT [Metric].[Resource ID], [Metric].[Name], [Metric].[Description] FROM [Model] "
    "JOIN [Metric] ON PARENT([Model]) WHERE [Model].[Resource ID]='{0}' AND "
    "[Metric].[Description] LIKE '%{1}%'"};

constexpr QueryText kMetricValuesQuery{
    "SELECT [MetricValue].[*]  FROM [Metric] JOIN [MetricValue] ON PARENT([Metric]) "
    "WHERE [Metric].[Resource ID]='{0}'",
    "SELECT [MetricValue].[*]  FROM [Metric] JOIN [MetricValue] ON PARENT([Metric]) "
    "WHERE [Metric].[Resource ID]='{0}'"};

// A value placed between single quotes of a statement: its quotes doubled, so
// that a name holding one can neither end the literal nor change the query.
py::str quoted(py::handle value) {
  return interop::pystr(value).attr("replace")("'", "''");
}

// Sends a statement in the installation's form: the data platform takes it as
// the query parameter "q" of a GET (percent-encoded by the HTTP library, so a
// "%" of a LIKE pattern arrives as written), the cloud in a JSON body. Only
// the cloud service's certificate is checked (see verifies_certificates).
template <typename... Values>
py::object send_query(const Globals& g, py::handle header, py::handle lg_url,
                      const QueryText& query, const Values&... values) {
  py::object base = grc::without_trailing_slashes(lg_url);
  if (grc::is_hxd_url(lg_url)) {
    py::dict params;
    params["q"] = py::str(query.hxd).attr("format")(quoted(values)...);
    return g["requests"].attr("get")(base + py::str("/api/query"), "params"_a = params,
                                     "headers"_a = header, "verify"_a = false,
                                     "timeout"_a = grc::kRequestTimeout);
  }
  py::dict body;
  body["statement"] = py::str(query.cloud).attr("format")(quoted(values)...);
  body["skipCount"] = 0;
  return g["requests"].attr("post")(base + py::str("/lggrc/api/v2/query"), "json"_a = body,
                                    "headers"_a = header, "verify"_a = true,
                                    "timeout"_a = grc::kRequestTimeout);
}

[[noreturn]] void log_and_raise(const Globals& g, py::handle message) {
  log_debug(g, message);
  raise_exception(message);
}

// An answer with an error status: raised with the service's status and
// text. Read as data it would hold no rows and pass for "nothing stored".
void raise_for_error_status(const Globals& g, py::handle response) {
  py::object status = response.attr("status_code");
  if (truthy(interop::compare(status, py::int_(200), Py_NE))) {
    py::object text = response.attr("text");
    log_and_raise(g, concat({"Ledgora API returned status code ", status, ": ", text}));
  }
}

bool is_list(py::handle value) {
  return interop::isinstance(value, reinterpret_cast<PyObject*>(&PyList_Type));
}

py::object get_lg_model_id(const Globals& g, py::object header, py::object model_name,
                           py::object lg_url) {
  log_debug(g, py::str("Getting  model id, model_name from Ledgora: {}").attr("format")(model_name));
  py::object model_id = py::none();
  const py::str not_found("Model ID not found, check model name");
  py::object data = send_query(g, header, lg_url, kModelIdQuery, model_name).attr("json")();
  if (grc::is_hxd_url(lg_url)) {
    if (!data.is_none()) {
      py::object rows = data.attr("get")("rows");
      if (rows.is_none() || !truthy(rows)) log_and_raise(g, not_found);
      py::object fields = rows[py::int_(0)].attr("get")("fields");
      if (!fields.is_none()) {
        py::object field = fields.attr("get")("field");
        if (!field.is_none() && truthy(field)) model_id = field[py::int_(0)]["value"];
      }
    }
  } else {
    if (data.is_none()) log_and_raise(g, not_found);
    py::object rows = data.attr("get")("rows");
    if (!rows.is_none() && truthy(rows)) {
      py::object fields = rows[py::int_(0)].attr("get")("fields");
      if (!fields.is_none()) model_id = fields[py::int_(0)].attr("get")("value");
    }
  }
  if (model_id.is_none()) log_and_raise(g, py::str("Failed to get existing metric value"));
  log_debug(g, py::str("Successfully fetched model id:{}").attr("format")(model_id));
  return model_id;
}

// The field objects of a row's "fields": the list itself, or else its
// "field" member (None when it has none).
py::object field_list_of(py::handle fields) {
  return is_list(fields) ? py::reinterpret_borrow<py::object>(fields) : fields.attr("get")("field");
}

// The value of the last field named `name`, or None.
py::object field_value(py::handle field_list, const char* name) {
  py::object value = py::none();
  for (py::handle item : field_list) {
    if (truthy(interop::compare(item.attr("get")("name"), py::str(name), Py_EQ))) {
      value = item.attr("get")("value");
    }
  }
  return value;
}

// Whether a metric object named `metric_name` holds a value of `risk`: its
// name is "risk, card, metric" for exactly this risk. The query's LIKE
// '%risk%' also finds the objects of every risk whose name contains this one
// (and an "_" there stands for any character), which must be neither read
// back as this risk's values nor deleted by its rollback.
bool belongs_to_risk(py::handle metric_name, py::handle risk) {
  if (!interop::isinstance_of(metric_name, &PyUnicode_Type)) return false;
  const py::str prefix = interop::pystr(risk) + py::str(", ");
  if (!truthy(metric_name.attr("startswith")(prefix))) return false;
  py::object card_and_metric = metric_name.attr("removeprefix")(prefix);
  return truthy(interop::compare(card_and_metric.attr("count")(", "), py::int_(1), Py_EQ));
}

py::dict get_lg_model_metrics_definitions(const Globals& g, py::object header,
                                          py::object model_id, py::object risks_name,
                                          py::object lg_url) {
  log_debug(g, py::str("Getting Ledgora model metrics definitions, model_id: {}")
                   .attr("format")(model_id));
  py::dict result;
  for (py::handle risk : risks_name) {
    py::object response = send_query(g, header, lg_url, kMetricObjectsQuery, model_id, risk);
    raise_for_error_status(g, response);
    py::object data;
    try {
      data = response.attr("json")();
    } catch (py::error_already_set& error) {
      if (!error.matches(g["requests"].attr("exceptions").attr("JSONDecodeError"))) throw;
      const interop::Handling handling(error);
      py::object head = response.attr("text")[py::slice(py::none(), py::int_(200), py::none())];
      log_and_raise(g, concat({"Failed to parse Ledgora response as JSON: ", head}));
    }
    try {
      interop::as_python_errors([&] {
        py::object rows = data.attr("get")("rows");
        if (!rows.is_none() && py::len(rows) > 0) {
          // A risk none of whose objects is its own is no key: it would read
          // back as stored with nothing in it.
          py::list records;
          const size_t count = py::len(rows);
          for (size_t index = 0; index < count; ++index) {
            py::object fields = rows[py::int_(index)].attr("get")("fields");
            if (fields.is_none()) continue;
            py::object field_list = field_list_of(fields);
            if (field_list.is_none()) continue;
            // A list holds the selected columns in order, the id first.
            py::object metric_id = is_list(fields) ? fields[py::int_(0)].attr("get")("value")
                                                   : field_value(field_list, "Resource ID");
            if (!belongs_to_risk(field_value(field_list, "Name"), risk)) continue;
            py::dict record;
            record["metric_id"] = metric_id;
            records.append(record);
          }
          if (py::len(records) > 0) result[risk] = records;
        }
        log_debug(g, "Completed fetching model metrics definitions");
      });
    } catch (py::error_already_set& error) {
      if (!interop::is_exception(error)) throw;
      const interop::Handling handling(error);
      log_and_raise(g, concat({"Failed to fetch model metrics definitions from Ledgora ",
                               error.value()}));
    }
  }
  return result;
}

// The metric name a stored value was written for: the description's text
// after its first single quote (so it keeps the closing quote).
py::object metric_name_of(py::handle description) {
  return description.attr("split")("'", 1)[py::int_(-1)];
}

// Walks the value rows of one metric object into `values`; the name and the
// value carry over from one row to the next.
void collect_metric_values(py::handle rows, py::dict& values) {
  py::object name = py::none();
  py::object value = py::none();
  const size_t count = py::len(rows);
  for (size_t index = 0; index < count; ++index) {
    py::object fields = rows[py::int_(index)].attr("get")("fields");
    if (fields.is_none()) continue;
    py::object field_list = field_list_of(fields);
    if (field_list.is_none()) continue;
    for (py::handle field : field_list) {
      py::object field_name = field.attr("get")("name");
      if (truthy(interop::compare(field_name, py::str("Description"), Py_EQ))) {
        name = metric_name_of(field.attr("get")("value"));
      } else if (truthy(interop::compare(field_name, py::str("ZKR-MetricVal:Value"), Py_EQ))) {
        value = field.attr("get")("value");
      }
    }
    values[name] = value;
  }
}

py::dict return_existing_metric_value(const Globals& g, py::object metrics_object,
                                      py::object header, py::object lg_url) {
  log_debug(g, "Metrics object is found; Fetching values.");
  py::dict result;
  for (py::handle item : metrics_object.attr("items")()) {
    std::vector<py::object> pair = interop::unpack(item, 2);
    py::dict values;
    result[pair[0]] = values;
    for (py::handle record : pair[1]) {
      py::object response = send_query(g, header, lg_url, kMetricValuesQuery, record["metric_id"]);
      raise_for_error_status(g, response);
      py::object data = response.attr("json")();
      if (data.is_none()) log_and_raise(g, py::str("Unable to get model metrics from Ledgora"));
      py::object rows = data.attr("get")("rows");
      if (rows.is_none() || !truthy(rows)) continue;
      try {
        interop::as_python_errors([&] { collect_metric_values(rows, values); });
      } catch (py::error_already_set& error) {
        if (!interop::is_exception(error)) throw;
        const interop::Handling handling(error);
        log_and_raise(g, concat({"Unexpected error occurred when evaluating the request: ",
                                 error.value()}));
      }
    }
  }
  if (py::len(result) > 0) return result;
  log_and_raise(g, py::str("Unable to get model metrics definitions from ledgora"));
}

}  // namespace

void define_grc_query_functions(const Globals& g) {
  interop::def_function(
      g, "get_lg_model_id",
      "Return the Ledgora resource id of the model record named model_name.",
      [g](py::object header, py::object model_name, py::object lg_url) {
        return get_lg_model_id(g, header, model_name, lg_url);
      },
      py::arg("header"), py::arg("model_name"), py::arg("lg_url"));
  interop::def_function(
      g, "get_lg_model_metrics_definitions",
      "Return, for each risk of risks_name with stored metric objects under the model,\n"
      "the list of those objects as {\"metric_id\": id} dicts. An object belongs to a\n"
      "risk when its name is \"risk, card, metric\" for exactly that risk.",
      [g](py::object header, py::object model_id, py::object risks_name, py::object lg_url) {
        return get_lg_model_metrics_definitions(g, header, model_id, risks_name, lg_url);
      },
      py::arg("header"), py::arg("model_id"), py::arg("risks_name"), py::arg("lg_url"));
  interop::def_function(
      g, "return_existing_metric_value",
      "Return, for each risk of metrics_object, the values stored in its metric\n"
      "objects, keyed by the metric name of their description. An answer with an\n"
      "error status raises Exception with the service's status and text.",
      [g](py::object metrics_object, py::object header, py::object lg_url) {
        return return_existing_metric_value(g, metrics_object, header, lg_url);
      },
      py::arg("metrics_object"), py::arg("header"), py::arg("lg_url"));
}

}  // namespace vorn::quorvane
