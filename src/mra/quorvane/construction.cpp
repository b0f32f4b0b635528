// The class Quorvane, its constructor and the validation of its arguments
// (including the environment an LLM-judge run needs).
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;
using interop::isinstance;
using interop::raise_value_error;

constexpr const char* kClassDoc =
    "Class that handle the risks evaluation of for given foundation model.";

constexpr const char* kInitDoc = R"(Initialize the risk evaluator.

Args:
    system_credentials (dict): Credentials of the services the evaluation talks to.
        GRC service, cloud: "lg_url", "lg_apikey", "lg_model_id".
        GRC service, data platform: "lg_url", "lg_username", "lg_hxd_host",
        "lg_hxd_apikey", "lg_model_id".
        Inference service, cloud: "orvia_ai_endpoint_url", "orvia_ai_cloud_apikey",
        "orvia_ai_project_id", "orvia_ai_model_id".
        Inference service, data platform: "orvia_ai_endpoint_url",
        "orvia_ai_hxd_username", "orvia_ai_hxd_apikey", "orvia_ai_project_id",
        "orvia_ai_model_id".
    foundation_model_name (str, optional): Name of the foundation model; only needed
        for the PDF report.
    risk_dimensions (list, optional): The risks to evaluate. All available risks of the
        risk catalogue when not given. Kept as selected_risk_dimensions: a run that
        publishes to Ledgora narrows risk_dimensions to the risks it had to evaluate,
        and every run returns the results of the whole selection.
    scoring_function (callable, optional): Encapsulates all logic to infer the model:
        takes a data frame of prompts and returns a data frame of answers. Defaults to
        default_scoring_function.
    max_sample_size (int, optional): Maximum number of test instances used for
        evaluation.)";

constexpr const char* kValidateDoc = "Validate the parameters for the Quorvane class.";

// The judge providers a run of the LLM-judge risks may use, and the
// environment each one needs, in the order the messages list them.
py::list supported_llmj_providers() {
  py::list providers;
  for (const char* name : {"aws", "together-ai", "replicate", "azure", "orvia-sdk"}) {
    providers.append(name);
  }
  return providers;
}

py::list llmj_specific_risks() {
  py::list risks;
  for (const char* name : {"prompt-injection", "jailbreaking", "harmful-code-generation"}) {
    risks.append(name);
  }
  return risks;
}

py::dict required_env_vars() {
  auto names = [](std::initializer_list<const char*> items) {
    py::list list;
    for (const char* item : items) list.append(item);
    return list;
  };
  py::dict vars;
  vars["orvia-sdk"] = names({"QRM_APIKEY", "QRM_URL", "QRM_PROJECT_ID"});
  vars["aws"] = names({"AWS_REGION_NAME", "AWS_SECRET_ACCESS_KEY", "AWS_ACCESS_KEY_ID"});
  vars["azure"] = names({"AZURE_AI_API_BASE", "AZURE_AI_API_KEY"});
  vars["replicate"] = names({"REPLICATE_API_TOKEN"});
  vars["together-ai"] = names({"TOGETHERAI_API_KEY"});
  return vars;
}

void validate_llm_judge_environment(const Globals& g, py::object risk_dimensions,
                                    py::object default_evalith_provider) {
  const py::list llmj_risks = llmj_specific_risks();
  bool uses_judge = false;
  for (py::handle risk : llmj_risks) {
    if (interop::contains(risk_dimensions, risk)) {
      uses_judge = true;
      break;
    }
  }
  if (!uses_judge) return;

  const py::list providers = supported_llmj_providers();
  if (!interop::contains(providers, default_evalith_provider)) {
    raise_value_error(
        concat({"EVALITH_DEFAULT_PROVIDER must be set for risks that uses LLMJ such as ",
                llmj_risks, ".EVALITH_DEFAULT_PROVIDER was not set. Received ",
                default_evalith_provider,
                ". you must set EVALITH_DEFAULT_PROVIDER to one of the following: ",
                providers}));
  }
  py::object required_vars = required_env_vars().attr("get")(default_evalith_provider,
                                                            py::list());
  py::list missing_vars;
  for (py::handle name : required_vars) {
    if (g["os"].attr("getenv")(name).is_none()) missing_vars.append(name);
  }
  if (py::len(missing_vars) > 0) {
    raise_value_error(concat({"The following environment variables must be set for ",
                              default_evalith_provider, ": ", missing_vars}));
  }
}

void validate_params(const Globals& g, py::object system_credentials,
                     py::object foundation_model_name, py::object risk_dimensions,
                     py::object scoring_function, py::object max_sample_size) {
  if (!isinstance(system_credentials, reinterpret_cast<PyObject*>(&PyDict_Type))) {
    raise_value_error("system_credentials must be a dictionary");
  }
  if (!foundation_model_name.is_none() &&
      !isinstance(foundation_model_name, reinterpret_cast<PyObject*>(&PyUnicode_Type))) {
    raise_value_error("foundation_model_name must be a string or None");
  }
  if (!risk_dimensions.is_none()) {
    if (!isinstance(risk_dimensions, reinterpret_cast<PyObject*>(&PyList_Type))) {
      raise_value_error("risk_dimensions must be a list or None");
    }
    if (py::len(risk_dimensions) == 0) {
      raise_value_error("risk_dimensions must be a non-empty list");
    }
    py::object available_risks = g["get_available_risks"]();
    for (py::handle risk : risk_dimensions) {
      if (!interop::contains(available_risks, risk)) {
        py::str message = concat({risk, " is not part of ", available_risks});
        interop::log_debug(g, message);
        interop::raise_exception(message);
      }
    }
  }
  if (!scoring_function.is_none() && !interop::callable(scoring_function)) {
    raise_value_error("scoring_function must be a callable or None");
  }
  if (!max_sample_size.is_none()) {
    if (!isinstance(max_sample_size, reinterpret_cast<PyObject*>(&PyLong_Type))) {
      raise_value_error("max_sample_size must be an integer or None");
    }
    if (max_sample_size <= py::int_(0)) {
      raise_value_error("max_sample_size must be greater than 0");
    }
  }
  py::object default_evalith_provider = g["os"].attr("getenv")("EVALITH_DEFAULT_PROVIDER");
  if (risk_dimensions.is_none()) risk_dimensions = g["get_available_risks"]();
  validate_llm_judge_environment(g, risk_dimensions, default_evalith_provider);
}

void init(const Globals& g, py::object self, py::object system_credentials,
          py::object foundation_model_name, py::object risk_dimensions,
          py::object scoring_function, py::object max_sample_size) {
  self.attr("validate_params")(system_credentials, foundation_model_name, risk_dimensions,
                               scoring_function, max_sample_size);
  self.attr("risk_dimensions") =
      risk_dimensions.is_none() ? g["get_available_risks"]() : risk_dimensions;
  self.attr("scoring_function") = scoring_function.is_none()
                                      ? self.attr("default_scoring_function")
                                      : scoring_function;
  self.attr("system_credentials") = system_credentials;
  self.attr("foundation_model_name") = foundation_model_name;
  self.attr("pdf_generator") = g["PdfGenerator"]();
  self.attr("max_sample_size") = max_sample_size;
  // A GRC-backed run narrows risk_dimensions to the risks it still has to
  // evaluate; every run reads back and returns the whole selection kept here.
  self.attr("selected_risk_dimensions") = self.attr("risk_dimensions");
}

}  // namespace

py::object define_evaluator_class(const Globals& g) {
  py::object cls = interop::make_class(
      g, "Quorvane", kClassDoc,
      "(system_credentials, foundation_model_name=None, risk_dimensions=None, "
      "scoring_function=None, max_sample_size=None)");
  cls.attr("system_credentials") = py::dict();

  interop::def_method(
      cls, "__init__", kInitDoc,
      [g](py::object self, py::object system_credentials, py::object foundation_model_name,
          py::object risk_dimensions, py::object scoring_function,
          py::object max_sample_size) {
        init(g, self, system_credentials, foundation_model_name, risk_dimensions,
             scoring_function, max_sample_size);
      },
      py::arg("system_credentials"), py::arg("foundation_model_name") = py::none(),
      py::arg("risk_dimensions") = py::none(), py::arg("scoring_function") = py::none(),
      py::arg("max_sample_size") = py::none());

  interop::def_static(
      cls, "validate_params", kValidateDoc,
      [g](py::object system_credentials, py::object foundation_model_name,
          py::object risk_dimensions, py::object scoring_function,
          py::object max_sample_size) {
        validate_params(g, system_credentials, foundation_model_name, risk_dimensions,
                        scoring_function, max_sample_size);
      },
      py::arg("system_credentials"), py::arg("foundation_model_name"),
      py::arg("risk_dimensions"), py::arg("scoring_function"), py::arg("max_sample_size"));
  return cls;
}

}  // namespace vorn::quorvane
