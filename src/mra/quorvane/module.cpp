// Module load: the outside modules bound as globals, then the process-wide
// settings the evaluation run relies on, then the class and the functions.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {
namespace {

void import_dependencies(const Globals& g) {
  using interop::import_from;
  using interop::import_module;
  for (const char* name : {"base64", "http.client", "json", "os", "ssl", "warnings",
                           "logging"}) {
    import_module(g, name);
  }
  import_from(g, "datetime", {"date", "datetime", "timezone"});
  import_module(g, "numpy", "np");
  import_module(g, "pandas", "pd");
  import_module(g, "requests");

  import_from(g, "vorn_orvia_ai.foundation_models", {"ModelInference"});
  import_from(g, "vorn_orvia_ai.qrm_client_error", {"CannotSetProjectOrSpace"});
  import_from(g, "evalith", {"evaluate", "load_dataset"});
  import_from(g, "evalith.error_utils", {"EvalithError"});
  import_from(g, "vorn_metrics_plugin.mra.pdf_generator",
              {"extract_numeric_value", "PdfGenerator"});
  import_from(g, "vorn_metrics_plugin.common.utils.metrics_logger", {"MetricLogger"});
  import_from(g, "vorn_metrics_plugin.common.utils.lg_url_mapping",
              {"get_iam_url_from_lg_url"});
  import_from(g, "vorn_metrics_plugin.mra.mra_api", {"risk", "risk_to_cards"});
}

// Benchmark and hub libraries are chatty; an evaluation run prints its own
// progress lines and keeps diagnostics in the module logger.
void apply_process_settings(const Globals& g) {
  g["warnings"].attr("filterwarnings")("ignore");
  g.set("logger", g["MetricLogger"](g["__name__"]));

  py::object logging = g["logging"];
  py::object critical = logging.attr("CRITICAL");
  logging.attr("getLogger")().attr("setLevel")(critical);
  for (const char* name : {"evalith", "datasets", "huggingface_hub", "bert_score"}) {
    logging.attr("getLogger")(name).attr("setLevel")(critical);
  }
  // Under a CRITICAL root the package's own warnings (a card or a risk that
  // failed) would be dropped as well, and a failed run would look like a
  // quiet success. The package's logger keeps the usual WARNING level unless
  // the application has set one for it.
  py::object package_logger =
      logging.attr("getLogger")(g["__name__"].attr("partition")(".")[py::int_(0)]);
  if (package_logger.attr("level").equal(logging.attr("NOTSET"))) {
    package_logger.attr("setLevel")(logging.attr("WARNING"));
  }
  g["logger"].attr("enable_json_logs")(false);
  g["os"].attr("environ")["EVALITH_ALLOW_UNVERIFIED_CODE"] = "True";
}

}  // namespace
}  // namespace vorn::quorvane

VORN_INTEROP_MODULE(quorvane, m) {
  using namespace vorn::quorvane;
  vorn::interop::ModuleOptions options;
  const Globals g(m);
  import_dependencies(g);
  apply_process_settings(g);
  py::object cls = define_evaluator_class(g);
  define_evaluation_run(g, cls);
  define_report(g, cls);
  define_default_scoring(g, cls);
  define_grc_connection(g, cls);
  define_grc_publishing(g, cls);
  define_metric_shaping(g);
  define_risk_catalogue_functions(g);
  define_score_with_margin(g);
  define_dataset_loading(g);
  define_grc_query_functions(g);
  define_grc_mutation_functions(g);
  define_executive_summary_function(g);
  vorn::interop::finish_class(g, cls);
}
