// Module load: the outside modules bound as globals (h5py only when it is
// installed), the module logger, then the class Sibrelle on BaseExplainer and
// NativeLimeImageExplainer on LIME's image explainer.
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

namespace vorn::sibrelle {
namespace {

constexpr const char* kClassDoc = "Class to compute lime explanation for structured data.";

void import_dependencies(const Globals& g) {
  using interop::import_from;
  using interop::import_module;
  for (const char* name : {"base64", "json", "math", "os", "uuid"}) import_module(g, name);
  import_from(g, "collections", {"Counter"});
  import_from(g, "copy", {"deepcopy"});
  import_from(g, "tempfile", {"mkdtemp"});
  import_module(g, "numpy", "np");
  import_module(g, "pandas", "pd");
  import_from(g, "lime", {"lime_image"});
  import_from(g, "lime.wrappers.scikit_image", {"SegmentationAlgorithm"});
  import_from(g, "skimage.color", {"gray2rgb"});
  // What the module's quickshift hands the calls it is not written for.
  interop::import_from_as(g, "skimage.segmentation", "quickshift", "skimage_quickshift");
  // HDF5 payloads are optional: without h5py such a row fails on its own.
  try {
    import_module(g, "h5py");
  } catch (py::error_already_set& error) {
    if (!interop::is_exception(error)) throw;
  }
  import_module(g, "imageio");
  import_from(g, "vorn_metrics_plugin.common.utils.constants",
              {"ExplainabilityMetricType", "InputDataType", "ProblemType"});
  import_from(g, "vorn_metrics_plugin.common.utils.metrics_logger", {"MetricLogger"});
  import_from(g, "vorn_metrics_plugin.metrics.explainability.entity.constants",
              {"FEATURES_COUNT", "ImageHeuristic", "ImageSegmentAlgo", "LimeFeatureSelection"});
  import_from(g, "vorn_metrics_plugin.metrics.explainability.entity.explain_config",
              {"ExplainConfig"});
  import_from(g, "vorn_metrics_plugin.metrics.explainability.entity.explain_response",
              {"Error", "ErrorTarget", "LimeImageExplanation", "LimeImageExplanationSchema"});
  import_from(g, "vorn_metrics_plugin.metrics.explainability.explainers.base_explainer",
              {"BaseExplainer"});
}

}  // namespace
}  // namespace vorn::sibrelle

VORN_INTEROP_MODULE(sibrelle, m) {
  using namespace vorn::sibrelle;
  vorn::interop::ModuleOptions options;
  const Globals g(m);
  import_dependencies(g);
  g.set("logger", g["MetricLogger"](g["__name__"]));
  py::object cls = vorn::interop::make_class(g, "Sibrelle", kClassDoc, "(explain_config)",
                                             py::make_tuple(g["BaseExplainer"]));
  define_explainer_config(g, cls);
  define_request_flow(g, cls);
  define_scoring_adapter(g, cls);
  define_segmentation(g, cls);
  define_explanation_response(g, cls);
  vorn::interop::finish_class(g, cls);
  define_lime_kernel(g);
  define_quickshift(g);
}
