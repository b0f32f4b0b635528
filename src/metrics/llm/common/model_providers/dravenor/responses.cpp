// Response generation: responses of the model under evaluation, paraphrases
// (retried with back-off on gateway time-outs) and judge responses.
#include "metrics/llm/common/model_providers/dravenor/dravenor.hpp"

#include <string>

namespace vorn::dravenor {

namespace {

using namespace py::literals;

constexpr const char* kParaphrasingDoc = R"(Generate paraphrases of a prompt with the paraphrasing model.

A gateway time-out of the inference service (an error whose text contains
"503") is retried after 1, 2 and 4 seconds; at most three calls are made.

Args:
    prompt (str | list[str]): The prompt, or the prompts, to paraphrase.

Returns:
    The generated text, as the inference client returns it.

Raises:
    Exception: When every call timed out at the gateway. Other errors of the
        inference client are raised at once.)";

constexpr const char* kModelResponsesDoc = R"(Generate responses of the model under evaluation.

Args:
    prompts (str | list[str]): The prompt, or the prompts.

Returns:
    The generated text, as the inference client returns it.)";

constexpr const char* kJudgeResponsesDoc = R"(Generate responses of a judge model.

A new inference client of the judge model is built for every call.

Args:
    prompts (str | list[str]): The prompt, or the prompts.
    judge_model_name (str): Model id of the judge; the provider's model_name when None.
    judge_model_params (dict, optional): Generation parameters of the judge. When
        empty, at most 60 and at least 1 new tokens.

Returns:
    The generated text, as the inference client returns it.

Raises:
    Exception: When the vorn_orvia_ai package is not installed.)";

constexpr const char* kRetryWarning =
    "Gateway timeout occurred while generating paraphrases. Retrying in 2 seconds.";

// The instance's own logger (set on it or by a subclass) when it has one,
// the module logger otherwise.
py::object logger_of(const Globals& g, py::handle self) {
  py::object own = interop::getattr_or(self, "logger", py::handle());
  return own ? own : g["logger"];
}

// `"503" in str(e)`, as a substring test on the exception's text.
bool is_gateway_timeout(const py::error_already_set& error) {
  return interop::contains(interop::pystr(error.value()), py::str("503"));
}

py::object get_paraphrasing_responses(const Globals& g, py::object self, py::object prompt) {
  int retries = 0;
  const int max_retries = 3;
  while (retries < max_retries) {
    try {
      return self.attr("paraphrase_model").attr("generate_text")("prompt"_a = prompt);
    } catch (py::error_already_set& error) {
      if (!interop::is_exception(error)) throw;
      // The except block: str(e) runs while `e` is being handled, so an error
      // raised by it is chained to `e`.
      interop::Handling handling(error);
      if (!is_gateway_timeout(error)) throw;
      retries += 1;
      logger_of(g, self).attr("log_warning")(kRetryWarning);
      // 1, 2, then 4 seconds; the last sleep also precedes the final failure.
      g["time"].attr("sleep")(1 << (retries - 1));
    }
  }
  interop::raise_exception(
      interop::concat({"Failed to generate paraphrases after ", py::int_(retries), " retries"}));
}

py::object get_model_responses(py::object self, py::object prompts) {
  return self.attr("model").attr("generate_text")("prompt"_a = prompts);
}

py::object get_judge_model_responses(const std::string& get_model_object, py::object self,
                                     py::object prompts, py::object judge_model_name,
                                     py::object judge_model_params) {
  py::object gen_params = import_sdk("vorn_orvia_ai.metanames", "GenTextParamsMetaNames");
  if (!interop::truthy(judge_model_params)) {
    py::dict defaults;
    defaults[gen_params.attr("MAX_NEW_TOKENS")] = 60;
    defaults[gen_params.attr("MIN_NEW_TOKENS")] = 1;
    judge_model_params = defaults;
  }
  py::object judge_model = self.attr(get_model_object.c_str())(
      "model_name"_a = judge_model_name, "generate_params"_a = judge_model_params);
  return judge_model.attr("generate_text")("prompt"_a = prompts);
}

}  // namespace

void define_responses(const Globals& g, py::handle cls) {
  interop::def_method(
      cls, "get_paraphrasing_responses", kParaphrasingDoc,
      [g](py::object self, py::object prompt) {
        return get_paraphrasing_responses(g, self, prompt);
      },
      py::arg("prompt"));

  interop::def_method(cls, "get_model_responses", kModelResponsesDoc, &get_model_responses,
                      py::arg("prompts"));

  const std::string get_model_object = interop::mangled(cls, "__get_model_object");
  interop::def_method(
      cls, "get_judge_model_responses", kJudgeResponsesDoc,
      [get_model_object](py::object self, py::object prompts, py::object judge_model_name,
                         py::object judge_model_params) {
        return get_judge_model_responses(get_model_object, self, prompts, judge_model_name,
                                         judge_model_params);
      },
      py::arg("prompts"), py::arg("judge_model_name"),
      py::arg("judge_model_params") = py::dict());
}

}  // namespace vorn::dravenor
