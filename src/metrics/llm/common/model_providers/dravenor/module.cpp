// Module load: the outside names bound as globals, a fallback logger for the
// retry path, then the class. The inference client is deliberately absent.
#include "metrics/llm/common/model_providers/dravenor/dravenor.hpp"

namespace vorn::dravenor {
namespace {

constexpr const char* kModuleDoc =
    "Model provider backed by foundation models of the Vorn Orvia AI platform.";

void import_dependencies(const Globals& g) {
  interop::import_module(g, "time");
  interop::import_from(g, "vorn_metrics_plugin.common.utils.python_utils", {"get"});
  interop::import_from(g, "vorn_metrics_plugin.metrics.llm.utils.constants",
                       {"ParaphrasingModel"});
  interop::import_from(g, "vorn_metrics_plugin.common.utils.metrics_logger",
                       {"MetricLogger"});
}

}  // namespace
}  // namespace vorn::dravenor

VORN_INTEROP_MODULE(dravenor, m) {
  using namespace vorn::dravenor;
  vorn::interop::ModuleOptions options;
  m.doc() = kModuleDoc;
  const Globals g(m);
  import_dependencies(g);
  // Dravenor sets no logger of its own; the paraphrase retries warn through
  // this one unless the instance (or a subclass) provides a `logger`.
  g.set("logger", g["MetricLogger"](g["__name__"]));
  py::object cls = define_provider(g);
  define_responses(g, cls);
  vorn::interop::finish_class(g, cls);
}
