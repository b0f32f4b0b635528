// Sibrelle's configuration: constructor, support test, initialize and the
// five validated properties that the explanation run reads.
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

namespace vorn::sibrelle {

namespace {

using interop::truthy;

constexpr const char* kInitDoc = R"(Initialize the lime image explainer.

Args:
    explain_config (ExplainConfig): The explain configuration. The lime parameters
        are read from its parameters under the key "lime":
        features_count (int): The number of features to be returned in the explanation.
            Default value is 10.
        perturbations_count (int): The number of perturbations used while generating
            the local explanation. Default value is 1000.
        feature_selection (str): The feature selection method used by lime.
            forward_selection: iteratively add features to the model; costly when the
            number of features is high.
            highest_weights: the features with the highest product of absolute weight
            and the value of the explained data point, when learning with all features.
            lasso_path: the features chosen along the lasso regularization path.
            none: use all features, ignore the features count.
            auto: forward_selection if the features count is at most 6, else
            highest_weights. Default value is auto.)";

constexpr const char* kIsSupportedDoc =
    "Return whether the explainer supports the configured input data type and metric types.";

constexpr const char* kInitializeDoc =
    "Read the lime parameters of the explain configuration into the explainer.";

constexpr const char* kFeaturesCountDoc =
    "The wanted number of image segments (features) of the explanation.";
constexpr const char* kPerturbationsCountDoc =
    "The number of perturbed images lime scores for one explanation.";
constexpr const char* kScoringBatchSizeDoc =
    "The number of perturbed images handed to the scoring function at once.";
constexpr const char* kFeatureSelectionDoc =
    "The feature selection method of lime, a LimeFeatureSelection member.";
constexpr const char* kImageSegmentAlgoDoc =
    "The image segmentation algorithm, an ImageSegmentAlgo member, or None for the "
    "automatic choice.";

// int(value) and abs() of it, as the builtins compute them.
py::object absolute_int(py::handle value) {
  PyObject* number = PyNumber_Long(value.ptr());
  if (number == nullptr) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::object>(number);
  PyObject* absolute = PyNumber_Absolute(number);
  if (absolute == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(absolute);
}

// A numeric property: falsy values store the default, others abs(int(value)).
void def_count_property(py::handle cls, const char* name, const char* backing,
                        const char* doc, long default_value) {
  const std::string attribute(backing);
  interop::def_property(
      cls, name, doc, [attribute](py::object self) { return self.attr(attribute.c_str()); },
      [attribute, default_value](py::object self, py::object value) {
        py::object stored = truthy(value) ? absolute_int(value) : py::int_(default_value);
        self.attr(attribute.c_str()) = stored;
      });
}

// [member.value for member in enumeration], in the enumeration's order.
py::list member_values(py::handle enumeration) {
  py::list values;
  for (py::handle member : enumeration) values.append(member.attr("value"));
  return values;
}

// An enumeration property: the value must be one of the members' values and
// is stored as the member; `None` stands for `none_value` (itself validated
// unless it is None).
void def_enum_property(const Globals& g, py::handle cls, const char* name, const char* backing,
                       const char* doc, const char* enumeration, const char* none_value,
                       const char* message) {
  const std::string attribute(backing);
  const std::string enum_name(enumeration);
  const std::string template_text(message);
  const std::string default_text = none_value != nullptr ? none_value : "";
  const bool none_is_stored = none_value == nullptr;
  interop::def_property(
      cls, name, doc, [attribute](py::object self) { return self.attr(attribute.c_str()); },
      [g, attribute, enum_name, template_text, default_text, none_is_stored](
          py::object self, py::object value) {
        if (value.is_none()) {
          if (none_is_stored) {
            self.attr(attribute.c_str()) = py::none();
            return;
          }
          value = py::str(default_text);
        }
        py::object members = g[enum_name.c_str()];
        py::list supported_types = member_values(members);
        if (!interop::contains(supported_types, value)) {
          interop::raise_value_error(
              py::str(template_text).attr("format")(value, supported_types));
        }
        self.attr(attribute.c_str()) = members(value);
      });
}

void init(py::handle defining_class, py::object self, py::object explain_config) {
  if (defining_class.is_none()) {
    interop::raise(PyExc_RuntimeError, "super(): class Sibrelle no longer exists");
  }
  py::object super_type = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(&PySuper_Type));
  super_type(defining_class, self).attr("__init__")(explain_config);
  self.attr("is3d") = false;
  self.attr("possible_predictions") = py::none();
  self.attr("label_map") = py::none();
}

py::bool_ is_supported(const Globals& g, py::object self) {
  py::object config = self.attr("config");
  if (!config.attr("input_data_type").is(g["InputDataType"].attr("IMAGE"))) {
    return py::bool_(false);
  }
  return py::bool_(interop::contains(config.attr("metric_types"),
                                     g["ExplainabilityMetricType"].attr("LIME")));
}

void initialize(py::object self) {
  py::object config = self.attr("config");
  py::object features = config.attr("features");
  if (py::len(features) != 1) {
    interop::raise_value_error(
        "There are more than one feature column. Please provide only one feature column.");
  }
  self.attr("feature") = features[py::int_(0)];
  py::object parameters = config.attr("parameters").attr("get")("lime");
  if (!truthy(parameters)) parameters = py::dict();
  auto get = [&](const char* key) { return parameters.attr("get")(key); };
  self.attr("features_count") = get("features_count");
  self.attr("perturbations_count") = get("perturbations_count");
  self.attr("feature_selection") = get("feature_selection");
  self.attr("image_segment_algo") = get("image_segment_algo");
  self.attr("return_raw_explanation") = get("return_raw_explanation");
  self.attr("scoring_batch_size") = get("scoring_batch_size");
}

}  // namespace

void define_explainer_config(const Globals& g, py::handle cls) {
  // super() inside the class body refers to the class itself.
  const interop::ClassRef defining_class = interop::class_ref(cls);
  interop::def_method(
      cls, "__init__", kInitDoc,
      [defining_class](py::object self, py::object explain_config) {
        init(defining_class(), self, explain_config);
      },
      py::arg("explain_config"), interop::annotation("explain_config", g["ExplainConfig"]));
  interop::def_method(
      cls, "is_supported", kIsSupportedDoc,
      [g](py::object self) { return is_supported(g, self); });
  interop::def_method(cls, "initialize", kInitializeDoc,
                      [](py::object self) { initialize(self); });

  def_count_property(cls, "features_count", "_features_count", kFeaturesCountDoc, 10);
  def_count_property(cls, "perturbations_count", "_perturbations_count",
                     kPerturbationsCountDoc, 1000);
  def_count_property(cls, "scoring_batch_size", "_scoring_batch_size", kScoringBatchSizeDoc,
                     100);
  def_enum_property(g, cls, "feature_selection", "_feature_selection", kFeatureSelectionDoc,
                    "LimeFeatureSelection", "auto",
                    "The feature selection value '{0}' is invalid. Valid values are {1}");
  def_enum_property(g, cls, "image_segment_algo", "_image_segment_algo", kImageSegmentAlgoDoc,
                    "ImageSegmentAlgo", nullptr,
                    "The image segment algorithm value '{0}' is invalid. Valid values are {1}");
}

}  // namespace vorn::sibrelle
