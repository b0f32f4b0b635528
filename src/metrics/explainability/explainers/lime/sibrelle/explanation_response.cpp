// Conversion of a raw explanation into the response record: the split into
// supporting and opposing segments, the outcome pictures painted from the
// input image, and their base64 PNG text. Also the error record of a row.
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

namespace vorn::sibrelle {

namespace {

using interop::compare;
using interop::truthy;
using namespace pybind11::literals;

constexpr const char* kConvertRawExplanationDoc =
    R"(Converts the explanation returned by lime for sending as api response.

Args:
    raw_explanation (dict): The raw explanation of one row.

Returns:
    tuple: The input features and the predictions of the response, or ([], None) when
    the raw explanation lacks the image, the segment map or the feature weights.)";

constexpr const char* kSplitFeaturesDoc =
    R"(Split the feature weights into positive and negative features based on the heuristic and a minimum weight.

Args:
    heuristic (ImageHeuristic): How many features of each sign are kept.
    min_weight (float): The minimum weight of a feature.

Returns:
    tuple: The positive and the negative (segment id, weight) pairs.)";

constexpr const char* kGetOutcomeImageDoc =
    R"(Based on the features, returns a base64 encoded outcome image.

Args:
    features (list): The (segment id, weight) pairs whose segments are shown.

Returns:
    str: The base64 text of the PNG picture showing only those segments of the input image.)";

constexpr const char* kConvertToBase64Doc =
    R"(Converts a numpy array to a base64 encoded string to be displayed in html.

Args:
    image_array (np.ndarray): The image.

Returns:
    str: The base64 text of the PNG encoding of the image.)";

// How many features of each sign the "top 5" heuristics keep at most.
constexpr long kTopFeatures = 5;

// numpy.array(value), straight from the lists for regular nested lists.
py::object as_array(const Globals& g, py::handle value) {
  if (interop::global_is_module(g, "np", "numpy")) {
    py::object array = kernels::array_from_nested_lists(value);
    if (array) return array;
  }
  return g["np"].attr("array")(value);
}

py::object weight_of(py::handle feature) { return feature[py::int_(1)]; }

// Pairs of `features` whose weight is >= 0 (or < 0), in list order. Each
// side is its own comparison: a NaN weight is neither.
py::list features_by_sign(py::handle features, bool positive) {
  py::list selected;
  const int op = positive ? Py_GE : Py_LT;
  for (py::handle feature : features) {
    if (truthy(compare(weight_of(feature), py::int_(0), op))) selected.append(feature);
  }
  return selected;
}

py::object head(py::handle list, py::handle count) {
  return list[py::slice(py::none(), count, py::none())];
}

py::object convert_raw_explanation(const Globals& g, py::object self,
                                   py::object raw_explanation) {
  py::list exp_attributes(raw_explanation.attr("keys")());
  for (const char* key : {"input_image", "feature_matrix", "feature_weights"}) {
    if (!interop::contains(exp_attributes, py::str(key))) {
      return py::make_tuple(py::list(), py::none());
    }
  }
  auto get = [&](const char* key) { return raw_explanation.attr("get")(key); };
  self.attr("input_image_array") = as_array(g, get("input_image"));
  self.attr("feature_matrix") = as_array(g, get("feature_matrix"));

  py::object first = py::list(get("feature_weights").attr("items")())[py::int_(0)];
  std::vector<py::object> label_features = interop::unpack(first, 2);
  self.attr("label") = label_features[0];
  self.attr("total_features") = label_features[1];

  py::list feature_weights;
  py::list weights;
  for (py::handle pair : self.attr("total_features")) {
    std::vector<py::object> feature_weight = interop::unpack(pair, 2);
    feature_weights.append(py::make_tuple(g["int"](feature_weight[0]), feature_weight[1]));
    weights.append(feature_weight[1]);
  }
  self.attr("feature_weights") = feature_weights;
  if (!truthy(g["np"].attr("any")(weights))) {
    interop::raise_exception("Unable to generate an explanation as the feature weights are all zeros");
  }

  std::vector<py::object> split = interop::unpack(self.attr("_split_features")(), 2);
  py::object positive_features = split[0];
  py::object negative_features = split[1];
  py::object positive_image = self.attr("_get_outcome_image")("features"_a = positive_features);
  py::object negative_image = self.attr("_get_outcome_image")("features"_a = negative_features);
  py::object input_image = self.attr("_convert_to_base64")(self.attr("input_image_array"));

  const size_t used_positive = py::len(positive_features);
  const size_t used_negative = py::len(negative_features);
  py::object all_weights = self.attr("feature_weights");

  py::dict input_feature;
  input_feature["full_image"] = input_image;
  input_feature["total_features"] = py::int_(py::len(all_weights));
  input_feature["used_features"] = py::int_(used_positive + used_negative);
  py::list input_features;
  input_features.append(input_feature);

  py::object probability = py::int_(0);
  if (truthy(get("prediction_probability"))) probability = get("prediction_probability");

  py::dict positive_explanation;
  positive_explanation["full_image"] = positive_image;
  positive_explanation["total_features"] = py::int_(py::len(features_by_sign(all_weights, true)));
  positive_explanation["used_features"] = py::int_(used_positive);
  py::dict prediction;
  prediction["probability"] = probability;
  py::object value = get("prediction");
  prediction["value"] =
      value.is_none() ? interop::pystr(g["np"].attr("argmax")(probability)) : value;
  py::list prediction_explanation;
  prediction_explanation.append(positive_explanation);
  prediction["explanation"] = prediction_explanation;

  py::dict negative_explanation;
  negative_explanation["full_image"] = negative_image;
  negative_explanation["total_features"] =
      py::int_(py::len(features_by_sign(all_weights, false)));
  negative_explanation["used_features"] = py::int_(used_negative);
  py::dict other;
  py::object complement =
      py::reinterpret_steal<py::object>(PyNumber_Subtract(py::int_(1).ptr(), probability.ptr()));
  if (!complement) throw py::error_already_set();
  other["probability"] = complement;
  other["value"] = get("others_label");
  py::list other_explanation;
  other_explanation.append(negative_explanation);
  other["explanation"] = other_explanation;

  py::list predictions;
  predictions.append(prediction);
  predictions.append(other);
  return py::make_tuple(input_features, predictions);
}

py::object split_features(const Globals& g, py::object self, py::object heuristic,
                          py::object min_weight) {
  py::object heuristics = g["ImageHeuristic"];
  py::object feature_weights = self.attr("feature_weights");
  if (heuristic.is(heuristics.attr("TOP_5_POSITIVE_TOP_5_NEGATIVE"))) {
    py::list positive = features_by_sign(feature_weights, true);
    py::list negative = features_by_sign(feature_weights, false);
    py::int_ top(kTopFeatures);
    return py::make_tuple(head(positive, top), head(negative, top));
  }
  if (heuristic.is(heuristics.attr("TOP_5_POSITIVE_TOP_5_NEGATIVE_THRESHOLD"))) {
    py::list positive = features_by_sign(feature_weights, true);
    py::list negative = features_by_sign(feature_weights, false);
    const size_t num_features = py::len(positive) + py::len(negative);
    py::object threshold = g["math"].attr("ceil")(0.2 * static_cast<double>(num_features));
    py::object count = g["min"](threshold, kTopFeatures);
    return py::make_tuple(head(positive, count), head(negative, count));
  }
  py::object copied = feature_weights.attr("copy")();
  return py::make_tuple(features_by_sign(copied, true), features_by_sign(copied, false));
}

// Whether `self._convert_to_base64` is this class's own method, neither
// overridden by a subclass nor replaced on the instance.
bool converts_as_defined(py::handle self, py::handle own_convert) {
  py::object bound = self.attr("_convert_to_base64");
  return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == own_convert.ptr() &&
         PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

py::object encoded_picture(const Globals& g, py::handle image_array);

py::object get_outcome_image(const Globals& g, py::object self, py::object features,
                             py::handle own_convert) {
  py::object image = self.attr("input_image_array");
  py::object segments = self.attr("feature_matrix");
  py::object outcome_image_array;
  if (interop::global_is_module(g, "np", "numpy")) {
    // With the conversion as defined here, the float picture it would get
    // need not exist: its uint8 form is computed from the image directly.
    if (converts_as_defined(self, own_convert)) {
      py::object picture = kernels::outcome_picture(image, segments, features);
      if (picture) return encoded_picture(g, picture);
    }
    outcome_image_array = kernels::outcome_image(image, segments, features);
  }
  if (!outcome_image_array) {
    py::object np = g["np"];
    outcome_image_array = np.attr("zeros")(np.attr("shape")(image));
    for (py::handle feature : features) {
      std::vector<py::object> feature_weight = interop::unpack(feature, 2);
      py::object mask = compare(self.attr("feature_matrix"), feature_weight[0], Py_EQ);
      outcome_image_array[mask] = self.attr("input_image_array")[mask].attr("copy")();
    }
  }
  return self.attr("_convert_to_base64")(outcome_image_array);
}

// The PNG bytes of a uint8 picture, written by the module's imageio.
py::object png_bytes(const Globals& g, py::handle image_array) {
  py::object imageio = g["imageio"];
  return imageio.attr("imwrite")(imageio.attr("RETURN_BYTES"), image_array, "png");
}

py::object convert_to_base64(const Globals& g, py::object self, py::object image_array) {
  py::object np = g["np"];
  if (truthy(compare(image_array.attr("dtype"), np.attr("uint8"), Py_NE))) {
    // The kernel stands in for numpy's clip and uint8 cast.
    py::object converted = interop::global_is_module(g, "np", "numpy")
                               ? kernels::to_uint8(image_array)
                               : py::object();
    if (converted) {
      image_array = converted;
    } else if (truthy(compare(image_array.attr("min")(), py::int_(0), Py_GE)) &&
               truthy(compare(image_array.attr("max")(), py::int_(1), Py_LE))) {
      py::object scaled = py::reinterpret_steal<py::object>(
          PyNumber_Multiply(image_array.ptr(), py::int_(255).ptr()));
      if (!scaled) throw py::error_already_set();
      image_array = scaled.attr("astype")(np.attr("uint8"));
    } else {
      image_array = np.attr("clip")(image_array, 0, 255).attr("astype")(np.attr("uint8"));
    }
  }
  return encoded_picture(g, image_array);
}

// Steps 2 to 4 of the conversion: PNG bytes, base64, text.
py::object encoded_picture(const Globals& g, py::handle image_array) {
  py::object image_bytes = png_bytes(g, image_array);
  py::object image_64_encode = g["base64"].attr("b64encode")(image_bytes);
  if (PyBytes_CheckExact(image_64_encode.ptr())) {
    return image_64_encode.attr("decode")("ascii");
  }
  // The text of the bytes object without its b'...' quoting.
  py::str text = interop::pystr(image_64_encode);
  return text[py::slice(2, -1, 1)];
}

}  // namespace

py::object error_response(const Globals& g, py::handle error_msg) {
  py::object message = py::str("There was an error while computing the explanation. {0}")
                           .attr("format")(error_msg);
  py::object target =
      g["ErrorTarget"]("field", g["ExplainabilityMetricType"].attr("LIME").attr("value"));
  py::list vals;
  vals.append(error_msg);
  py::object error = g["Error"]("code"_a = "TVKES1001E", "message"_a = message,
                                "target"_a = target, "vals"_a = vals);
  return g["LimeImageExplanation"]("error"_a = error);
}

void define_explanation_response(const Globals& g, py::handle cls) {
  interop::def_method(
      cls, "convert_raw_explanation", kConvertRawExplanationDoc,
      [g](py::object self, py::object raw_explanation) {
        return convert_raw_explanation(g, self, raw_explanation);
      },
      py::arg("raw_explanation"));
  interop::def_method(
      cls, "_split_features", kSplitFeaturesDoc,
      [g](py::object self, py::object heuristic, py::object min_weight) {
        return split_features(g, self, heuristic, min_weight);
      },
      py::arg_v("heuristic", g["ImageHeuristic"].attr("DEFAULT"), "ImageHeuristic.DEFAULT"),
      py::arg("min_weight") = 0.0);
  interop::def_method(
      cls, "_convert_to_base64", kConvertToBase64Doc,
      [g](py::object self, py::object image_array) {
        return convert_to_base64(g, self, image_array);
      },
      py::arg("image_array"));
  // The function just stored, as a bound method's __func__ refers to it.
  py::object own_convert = cls.attr("__dict__")["_convert_to_base64"];
  // The default list is created once, with the class, and never changed.
  interop::def_method(
      cls, "_get_outcome_image", kGetOutcomeImageDoc,
      [g, own_convert](py::object self, py::object features) {
        return get_outcome_image(g, self, features, own_convert);
      },
      py::arg("features") = py::list());
}

}  // namespace vorn::sibrelle
