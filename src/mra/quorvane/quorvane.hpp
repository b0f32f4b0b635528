// Module quorvane: the risk evaluator class and its module-level functions.
//
// The class Quorvane is an ordinary Python class whose methods are the C++
// functions of this folder, one source per concern:
//   construction.cpp      the class, __init__ and validate_params
//   evaluation_run.cpp    quorvanes, risks_evaluation, process_models_and_risks
//   default_scoring.cpp   default_scoring_function, _initialize_model_inference
//   report.cpp            get_pdf_report, _build_report_details
//   grc_connection.cpp    connect_to_ledgora
//   grc_publishing.cpp    publish_metrics_to_ledgora, get_ledgora_metric_link
//   grc_run.cpp           the GRC-backed path of quorvanes
//   grc_common.cpp        what every GRC request shares: mode test, time-out
//   grc_values.cpp        the number a metric value is stored as
// and the module-level functions:
//   metric_shaping.cpp    normalize_metrics_values, reordered_metric_dict,
//                         normalize_ledgora_data
//   risk_catalogue.cpp    get_available_risks, check_if_all_risks_are_evaluated
//   executive_summary.cpp get_executive_summary
//   score_margin.cpp      calculate_score_with_margin
//   dataset_loading.cpp   load_dataset_with_fallback
//   grc_queries.cpp       get_lg_model_id, get_lg_model_metrics_definitions,
//                         return_existing_metric_value
//   grc_mutations.cpp     the payload builders, create/add/delete
#pragma once

#include "common/interop.hpp"

#include <functional>

namespace vorn::quorvane {

namespace py = pybind11;
using interop::Globals;

// Methods of Quorvane, in the order of the class body.
py::object define_evaluator_class(const Globals& g);  // returns the class body
void define_evaluation_run(const Globals& g, py::handle cls);
void define_report(const Globals& g, py::handle cls);
void define_default_scoring(const Globals& g, py::handle cls);
void define_grc_connection(const Globals& g, py::handle cls);
void define_grc_publishing(const Globals& g, py::handle cls);

// Module-level functions.
void define_metric_shaping(const Globals& g);
void define_risk_catalogue_functions(const Globals& g);
void define_score_with_margin(const Globals& g);
void define_dataset_loading(const Globals& g);
void define_grc_query_functions(const Globals& g);
void define_grc_mutation_functions(const Globals& g);
void define_executive_summary_function(const Globals& g);

// The GRC-backed path of quorvanes: stored values read back, missing risks
// evaluated, new values published.
py::object run_with_ledgora(const Globals& g, py::handle self);

// Shared by the GRC sources.
namespace grc {
// Seconds any GRC or identity-service call may wait to connect or to read;
// nothing in the client may hang on an unresponsive service.
constexpr int kRequestTimeout = 300;
// Whether a GRC URL names a data-platform installation: "hxd" in any case.
// Every GRC operation decides its mode with this one test, so one run never
// mixes the two modes.
bool is_hxd_url(py::handle lg_url);
// Whether GRC requests check the service's certificate: not on the data
// platform, whose on-premises installations commonly have self-signed ones;
// always in the cloud, where the bearer token must reach the real service.
bool verifies_certificates(py::handle lg_url);
// lg_url.rstrip("/")
py::object without_trailing_slashes(py::handle lg_url);
// The number a metric is stored as: a non-empty list by its mean, numpy
// numbers as Python numbers, rounded to 4 decimals. What the service cannot
// store (a NaN, an infinity, anything but an int or a float) raises, naming
// the metric, before any request is sent.
py::object value_to_publish(const Globals& g, py::handle metric_name, py::object metric_value);
// Runs `publishing`. When an interrupt (KeyboardInterrupt, SystemExit, any
// BaseException that is not an Exception) leaves it, the metric objects of
// the evaluator's risk dimensions are deleted, as after a failed publication,
// and the interrupt goes on unchanged: a partial store would pass for a
// complete one in later runs. Guards nested in one thread (a run's, and
// each publication's inside it) roll back once, in the outermost.
void rolled_back_on_interrupt(const Globals& g, py::handle self, py::handle lg_url,
                              py::handle model_id, py::handle header,
                              const std::function<void()>& publishing);
}  // namespace grc

}  // namespace vorn::quorvane
