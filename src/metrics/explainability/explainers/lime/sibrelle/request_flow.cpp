// The entry point explain_data: column selection, the per-row flow with its
// error records, metadata, and decoding and validation of the image cell.
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

namespace vorn::sibrelle {

namespace {

using interop::truthy;
using namespace pybind11::literals;

constexpr const char* kExplainDataDoc = R"(Compute the lime explanation of every row of the data.

Args:
    data (pd.DataFrame): One image per row in the feature column, with the prediction,
        probability and meta columns of the configuration when it names them.
    scoring_fn (callable): Scores a batch of images (and the row's meta values when
        there are meta fields); returns the probabilities and the predictions.

Returns:
    dict: "local_explanations", the list of the rows' explanations in row order.)";

constexpr const char* kPrepareDataDoc = "Return the dataframe with required columns";

constexpr const char* kExplainRowDoc =
    "Explain one row; an error inside the row becomes the row's error record.";

constexpr const char* kGetMetaValuesDoc =
    "Return a one row dataframe of the row's meta fields, or None when there are none.";

constexpr const char* kGetInputImageDoc =
    "Decode and validate the row's image and return it as a height x width x 3 array.";

constexpr const char* kDecodeImageArrayDoc =
    "Read the image array stored as dataset \"data\" of the HDF5 file given as bytes.";

constexpr const char* kIsValidScoringInputDoc =
    R"(validate the input test data point to see if it is in the form of m*n*1 or m*n*3.

Args:
    test_data_point (np.ndarray): The image array.

Returns:
    bool: True for valid and False for invalid test data.)";

py::object explain_data(const Globals& g, py::object self, py::object data,
                        py::object scoring_fn) {
  py::list explanations;
  self.attr("scoring_fn") = scoring_fn;
  py::object df = self.attr(names::prepare_data)("data"_a = data);
  for (py::handle record : df.attr("to_dict")("orient"_a = "records")) {
    explanations.append(self.attr(names::explain_row)(record));
  }
  py::dict result;
  result["local_explanations"] = explanations;
  return std::move(result);
}

py::object prepare_data(const Globals& g, py::object self, py::object data) {
  py::object config = self.attr("config");
  py::object cols = g["deepcopy"](config.attr("features"));
  py::object prediction_column = config.attr("prediction_column");
  if (truthy(prediction_column)) cols.attr("append")(prediction_column);
  py::object probability_column = config.attr("probability_column");
  if (truthy(probability_column)) cols.attr("append")(probability_column);
  py::object meta_fields = config.attr("meta_fields");
  if (truthy(meta_fields)) cols.attr("extend")(meta_fields);
  return data[cols];
}

py::object explain_row(const Globals& g, py::object self, py::object data_row) {
  py::object exp_resp;
  try {
    py::object raw = interop::as_python_errors([&]() -> py::object {
      RowSegmentation row(self);
      self.attr("meta_values") = self.attr(names::get_meta_values)("data_row"_a = data_row);
      py::object input_image = self.attr(names::get_input_image)(
          "test_instance"_a = data_row[self.attr("feature")]);
      py::object segmentation_fn = self.attr(names::get_segmentation_fn)(input_image);
      py::object labels = self.attr(names::get_labels)(data_row);
      py::object raw_explanation =
          explain_with_lime(g, self, data_row, input_image, labels, segmentation_fn, row);
      if (truthy(self.attr("return_raw_explanation"))) return raw_explanation;
      std::vector<py::object> converted =
          interop::unpack(self.attr("convert_raw_explanation")(raw_explanation), 2);
      exp_resp = g["LimeImageExplanation"]("input_features"_a = converted[0],
                                           "predictions"_a = converted[1]);
      return py::object();
    });
    if (raw) return raw;
  } catch (py::error_already_set& e) {
    if (!interop::is_exception(e)) throw;
    const interop::Handling handling(e);
    py::str error_msg = interop::pystr(e.value());
    g["logger"].attr("log_error")(error_msg);
    exp_resp = error_response(g, error_msg);
  }
  return g["LimeImageExplanationSchema"]().attr("dump")(exp_resp);
}

py::object get_meta_values(const Globals& g, py::object self, py::object data_row) {
  py::object meta_values = py::none();
  py::object config = self.attr("config");
  if (truthy(config.attr("meta_fields"))) {
    py::list values;
    for (py::handle column : config.attr("meta_fields")) values.append(data_row[column]);
    if (py::len(values) > 0) {
      py::list rows;
      rows.append(values);
      meta_values = g["pd"].attr("DataFrame")(rows, "columns"_a = config.attr("meta_fields"));
    }
  }
  return meta_values;
}

py::object get_input_image(const Globals& g, py::object self, py::object test_instance) {
  py::object np_test_instance;
  if (PyBytes_Check(test_instance.ptr())) {
    np_test_instance = self.attr(names::decode_image_array)(test_instance);
  } else {
    np_test_instance = g["np"].attr("array")(test_instance);
  }
  py::object lowest = g["np"].attr("nanmin")(np_test_instance);
  py::object highest = g["np"].attr("nanmax")(np_test_instance);
  if (truthy(interop::compare(lowest, highest, Py_EQ))) {
    interop::raise_exception("The input image is not valid. Please enter a valid input image");
  }
  if (!truthy(self.attr("is_valid_scoring_input")(np_test_instance))) {
    interop::raise_exception(
        "Input image data is not in heightxwidthx1 or heightxwidthx3 format. Please enter a "
        "valid input");
  }
  py::object np3d_test_instance = g["np"].attr("squeeze")(np_test_instance);
  py::object image =
      truthy(interop::compare(np3d_test_instance.attr("ndim"), py::int_(3), Py_EQ))
          ? np3d_test_instance
          : g["gray2rgb"](np3d_test_instance);
  return g["np"].attr("array")(image);
}

// Decoding reads the HDF5 file from memory: nothing is written to disk, so
// no temporary file or directory can be left behind.
py::object decode_image_array(const Globals& g, py::object self, py::object encoded_image) {
  py::object h5py = g["h5py"];
  py::object buffer = py::module_::import("io").attr("BytesIO")(encoded_image);
  py::object content = interop::with_context(
      h5py.attr("File")(buffer, "r"),
      [](py::object file) -> py::object {
        py::object dataset = file[py::str("data")];
        return dataset[py::tuple()];
      });
  if (!content) {
    interop::raise(PyExc_UnboundLocalError,
                   "cannot access local variable 'content' where it is not associated with "
                   "a value");
  }
  return content;
}

py::object is_valid_scoring_input(py::object self, py::object test_data_point) {
  py::object shape = test_data_point.attr("shape");
  if (py::len(shape) != 3) return py::bool_(false);
  py::object channels = shape[py::int_(2)];
  self.attr("is3d") = interop::compare(channels, py::int_(3), Py_EQ);
  py::object single = interop::compare(channels, py::int_(1), Py_EQ);
  return truthy(single) ? single : interop::compare(channels, py::int_(3), Py_EQ);
}

}  // namespace

void define_request_flow(const Globals& g, py::handle cls) {
  interop::def_method(
      cls, "explain_data", kExplainDataDoc,
      [g](py::object self, py::object data, py::object scoring_fn) {
        return explain_data(g, self, data, scoring_fn);
      },
      py::arg("data"), py::arg("scoring_fn"));
  interop::def_private_method(
      cls, "__prepare_data", kPrepareDataDoc,
      [g](py::object self, py::object data) { return prepare_data(g, self, data); },
      py::arg("data"));
  interop::def_private_method(
      cls, "__explain_row", kExplainRowDoc,
      [g](py::object self, py::object data_row) { return explain_row(g, self, data_row); },
      py::arg("data_row"));
  interop::def_private_method(
      cls, "__get_meta_values", kGetMetaValuesDoc,
      [g](py::object self, py::object data_row) { return get_meta_values(g, self, data_row); },
      py::arg("data_row"));
  interop::def_private_method(
      cls, "__get_input_image", kGetInputImageDoc,
      [g](py::object self, py::object test_instance) {
        return get_input_image(g, self, test_instance);
      },
      py::arg("test_instance"));
  interop::def_private_method(
      cls, "__decode_image_array", kDecodeImageArrayDoc,
      [g](py::object self, py::object encoded_image) {
        return decode_image_array(g, self, encoded_image);
      },
      py::arg("encoded_image"));
  interop::def_method(
      cls, "is_valid_scoring_input", kIsValidScoringInputDoc,
      [](py::object self, py::object test_data_point) {
        return is_valid_scoring_input(self, test_data_point);
      },
      py::arg("test_data_point"));
}

}  // namespace vorn::sibrelle
