// The class Dravenor: construction, validation of the platform settings and
// the inference clients of the model under evaluation and of the
// paraphrasing model.
#include "metrics/llm/common/model_providers/dravenor/dravenor.hpp"

namespace vorn::dravenor {

namespace {

using namespace py::literals;
using interop::raise_value_error;

constexpr const char* kClassDoc = R"(Model provider backed by foundation models of the Vorn Orvia AI platform.

Generates responses of the model under evaluation, paraphrases of prompts from a
fixed paraphrasing model (retried on gateway time-outs) and responses of a judge
model chosen per call.)";

constexpr const char* kInitDoc = R"(Create the provider and its inference clients.

Args:
    project_id (str): Project id on the Orvia AI platform.
    credentials (dict): Orvia AI credentials with "url" and "apikey".
    rate_limit (int, optional): Rate limit of the provider. Defaults to 8.
    generate_params (dict, optional): Default generation parameters of the model
        under evaluation. Defaults to {}.
    model_name (str): Model id of the model under evaluation.

Raises:
    ValueError: When the project id, the url or apikey credential or the model
        name is missing.)";

constexpr const char* kValidateDoc =
    R"(Check that the project id, the credentials' url and apikey and the model name are given.

Raises:
    ValueError: At the first missing setting.)";

constexpr const char* kGetModelObjectDoc = R"(Build an inference client.

Args:
    model_name (str, optional): Model id; the provider's model_name when None.
    generate_params (dict, optional): Generation parameters; the provider's
        generate_params when empty.

Returns:
    ModelInference: A new inference client.)";

constexpr const char* kGetParaphrasingModelDoc = R"(Build the inference client of the paraphrasing model.

The paraphrasing model decodes greedily with at most 4096 new tokens.

Returns:
    ModelInference: A new inference client of the paraphrasing model.)";

// Names of the private methods as stored on the class.
struct PrivateNames {
  std::string validate;
  std::string get_model_object;
  std::string get_paraphrasing_model;
};

void init(const PrivateNames& names, py::object self, py::object project_id,
          py::object credentials, py::object rate_limit, py::object generate_params,
          py::object model_name) {
  self.attr("rate_limit") = rate_limit;
  self.attr("project_id") = project_id;
  self.attr("generate_params") = generate_params;
  self.attr("credentials") = credentials;
  self.attr("model_name") = model_name;
  self.attr(names.validate.c_str())();
  self.attr("model") = self.attr(names.get_model_object.c_str())();
  self.attr("paraphrase_model") = self.attr(names.get_paraphrasing_model.c_str())();
}

void validate(const Globals& g, py::object self) {
  // `== None` rather than `is None`: a project id that compares equal to None
  // counts as missing too.
  py::object project_id = self.attr("project_id");
  if (project_id.equal(py::none())) {
    raise_value_error("Project id should be specified for Vorn Orvia AI models");
  }
  if (g["get"](self.attr("credentials"), "url").is_none()) {
    raise_value_error("url is missing from the specified Orvia AI credentials");
  }
  if (g["get"](self.attr("credentials"), "apikey").is_none()) {
    raise_value_error("apikey is missing from the specified Orvia AI credentials");
  }
  if (self.attr("model_name").is_none()) {
    raise_value_error("The provided model_name is None. Please provide a valid model name.");
  }
}

// The model id falls back only when it is None; the parameters whenever they
// are empty (or otherwise false).
py::object get_model_object(py::object self, py::object model_name,
                            py::object generate_params) {
  py::object model_inference =
      interop::import_now("vorn_orvia_ai.foundation_models", "ModelInference");
  // Arguments are evaluated in order, as the keyword call in Python would.
  py::object model_id = model_name.is_none() ? self.attr("model_name") : model_name;
  py::object params =
      interop::truthy(generate_params) ? generate_params : self.attr("generate_params");
  py::object credentials = self.attr("credentials");
  py::object project_id = self.attr("project_id");
  return model_inference("model_id"_a = model_id, "params"_a = params,
                         "credentials"_a = credentials, "project_id"_a = project_id);
}

py::object get_paraphrasing_model(const Globals& g, py::object self) {
  py::object model_inference = import_sdk("vorn_orvia_ai.foundation_models", "ModelInference");
  py::object gen_params = import_sdk("vorn_orvia_ai.metanames", "GenTextParamsMetaNames");
  py::dict model_params;
  model_params[gen_params.attr("DECODING_METHOD")] = "greedy";
  model_params[gen_params.attr("MAX_NEW_TOKENS")] = 4096;
  py::object model_id = g["ParaphrasingModel"].attr("META_LLAMA_3_3_70B_INSTRUCT");
  py::object credentials = self.attr("credentials");
  py::object project_id = self.attr("project_id");
  return model_inference("model_id"_a = model_id, "params"_a = model_params,
                         "credentials"_a = credentials, "project_id"_a = project_id);
}

}  // namespace

py::object import_sdk(const char* module, const char* name) {
  try {
    return interop::import_now(module, name);
  } catch (py::error_already_set& error) {
    if (!interop::is_exception(error)) throw;
    interop::raise_while_handling(error, PyExc_Exception, kInstallMessage);
  }
}

py::object define_provider(const Globals& g) {
  py::object cls = interop::make_class(
      g, "Dravenor", kClassDoc,
      "(project_id, credentials, rate_limit=8, generate_params={}, model_name=None)");
  const PrivateNames names{interop::mangled(cls, "__validate"),
                           interop::mangled(cls, "__get_model_object"),
                           interop::mangled(cls, "__get_paraphrasing_model")};

  // The `{}` defaults are created here, once, and shared by every call that
  // leaves the argument out; nothing in the class mutates them.
  interop::def_method(
      cls, "__init__", kInitDoc,
      [names](py::object self, py::object project_id, py::object credentials,
              py::object rate_limit, py::object generate_params, py::object model_name) {
        init(names, self, project_id, credentials, rate_limit, generate_params, model_name);
      },
      py::arg("project_id"), py::arg("credentials"), py::arg("rate_limit") = 8,
      py::arg("generate_params") = py::dict(), py::arg("model_name") = py::none());

  interop::def_private_method(cls, "__validate", kValidateDoc,
                              [g](py::object self) { validate(g, self); });

  interop::def_private_method(
      cls, "__get_model_object", kGetModelObjectDoc,
      [](py::object self, py::object model_name, py::object generate_params) {
        return get_model_object(self, model_name, generate_params);
      },
      py::arg("model_name") = py::none(), py::arg("generate_params") = py::dict());

  interop::def_private_method(cls, "__get_paraphrasing_model", kGetParaphrasingModelDoc,
                              [g](py::object self) { return get_paraphrasing_model(g, self); });
  return cls;
}

}  // namespace vorn::dravenor
