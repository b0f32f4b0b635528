// The default scoring function: answers a card's prompts one at a time through
// the inference service, with a client built from the system credentials.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::raise_value_error;

constexpr const char* kDefaultScoringDoc = R"(Use the orvia.ai model to generate predictions for a list of prompts.

Args:
    data (pd.DataFrame): A data frame with the prompts in the first column.

Returns:
    pd.DataFrame: A data frame containing the generated responses.)";

constexpr const char* kInitializeInferenceDoc = R"(Initialize the ModelInference object based on the environment (data platform or cloud).

Args:
    endpoint_url (str): The endpoint URL; determines the environment.
    model_id (str): The model to use.
    project_id (str): The project for the inference context.

Returns:
    ModelInference: The inference client.)";

// The credentials the inference client needs: the data-platform set when the
// endpoint names one ("hxd" in the URL, any case), the cloud set otherwise.
py::object initialize_model_inference(const Globals& g, py::object self,
                                      py::object endpoint_url, py::object model_id,
                                      py::object project_id) {
  py::object credentials_of_caller = self.attr("system_credentials");
  auto credential = [&](const char* key) { return credentials_of_caller.attr("get")(key); };
  py::dict credentials;
  if (interop::contains(endpoint_url.attr("lower")(), py::str("hxd"))) {
    credentials["username"] = credential("orvia_ai_hxd_username");
    credentials["apikey"] = credential("orvia_ai_hxd_apikey");
    credentials["url"] = endpoint_url;
    credentials["instance_id"] = "tallowmere";
  } else {
    credentials["apikey"] = credential("orvia_ai_cloud_apikey");
    credentials["url"] = endpoint_url;
  }
  using namespace py::literals;
  return g["ModelInference"]("model_id"_a = model_id, "credentials"_a = credentials,
                             "project_id"_a = project_id);
}

py::object default_scoring_function(const Globals& g, py::object self, py::object data) {
  py::object credentials = self.attr("system_credentials");
  py::object model_id = credentials.attr("get")("orvia_ai_model_id");
  if (!interop::truthy(model_id)) raise_value_error("Model ID is not provided.");
  py::object endpoint_url = credentials.attr("get")("orvia_ai_endpoint_url", "");
  py::object project_id = credentials.attr("get")("orvia_ai_project_id");

  return interop::logged_reraise(
      g, "Error encountered while getting predictions from orvia.ai: ", [&]() -> py::object {
        py::object model =
            self.attr("_initialize_model_inference")(endpoint_url, model_id, project_id);
        py::object first_column =
            data.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0)];
        py::list predictions;
        for (py::handle prompt : first_column.attr("values").attr("tolist")()) {
          predictions.append(model.attr("generate_text")(prompt));
        }
        py::dict columns;
        columns["generated_text"] = predictions;
        return g["pd"].attr("DataFrame")(columns);
      });
}

}  // namespace

void define_default_scoring(const Globals& g, py::handle cls) {
  interop::def_method(
      cls, "default_scoring_function", kDefaultScoringDoc,
      [g](py::object self, py::object data) {
        return default_scoring_function(g, self, data);
      },
      py::arg("data"));

  interop::def_method(
      cls, "_initialize_model_inference", kInitializeInferenceDoc,
      [g](py::object self, py::object endpoint_url, py::object model_id,
          py::object project_id) {
        return initialize_model_inference(g, self, endpoint_url, model_id, project_id);
      },
      py::arg("endpoint_url"), py::arg("model_id"), py::arg("project_id"));
}

}  // namespace vorn::quorvane
