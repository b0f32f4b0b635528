// NativeLimeImageExplainer: LIME's image explainer whose data_labels builds
// the perturbed images of a batch in C++ (perturbed_images.cpp) instead of
// one deep copy and one mask pass per hidden segment per sample, and the
// choice, per row, between it and LIME's own explainer.
//
// data_labels behaves as LIME's: the same random matrix from the explainer's
// random state, the same batches handed to the classifier in the same order,
// LIME's progress bar, the same result. The names LIME's method uses (tqdm,
// np) are read from LIME's module, as that method would. Inputs the kernel
// is not written for go to LIME's method before anything is drawn.
#include "metrics/explainability/explainers/lime/sibrelle/perturbed_images.hpp"
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"

namespace vorn::sibrelle {

namespace {

using namespace pybind11::literals;

constexpr const char* kClassName = "NativeLimeImageExplainer";
constexpr const char* kLimeModule = "lime.lime_image";
// The LIME release whose data_labels this kernel reproduces (pinned in
// pyproject.toml); with any other release LIME's own explainer runs.
constexpr const char* kCheckedLimeVersion = "0.2.0.1";
// LIME's own data_labels, kept on the class to see whether LIME's class
// still holds it.
constexpr const char* kLimeDataLabels = "_lime_data_labels";

constexpr const char* kClassDoc =
    R"(LIME's image explainer, with the perturbed images of data_labels built in C++.

Construction, explain_instance and the result are LIME's own.)";

constexpr const char* kDataLabelsDoc =
    R"(Generates images and predictions in the neighborhood of this image.

Draws the random 0/1 matrix (num_samples x number of segments, first row all
ones) from the explainer's random state, builds the perturbed images of each
batch into one array of the image's dtype, a pixel taking its colour from
fudged_image when its segment id is the index of a feature that is off, and
calls classifier_fn on batches of batch_size images (the last one shorter).

Returns (data, labels): the random matrix and the stacked predictions.)";

py::object lime_module() { return py::module_::import(kLimeModule); }

bool is_exact_random_state(py::handle random_state) {
  py::object random_state_type = interop::import_now("numpy.random", "RandomState");
  return Py_TYPE(random_state.ptr()) == reinterpret_cast<PyTypeObject*>(random_state_type.ptr());
}

// LIME scores its images whenever it holds exactly `batch_size` of them,
// and the rest at the end. False for a value that is not an integer; a
// batch length of 0 means "all at the end" (no length reaches it).
bool batch_length(py::handle batch_size, Py_ssize_t& length) {
  if (!PyIndex_Check(batch_size.ptr())) return false;
  length = PyNumber_AsSsize_t(batch_size.ptr(), nullptr);
  if (length == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (length < 0) length = 0;
  return true;
}

py::object multiply(py::handle a, py::handle b) {
  PyObject* product = PyNumber_Multiply(a.ptr(), b.ptr());
  if (product == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(product);
}

// The arrays the batches are built in. A batch the classifier has let go of
// entirely is filled again for the next batch of the same size instead of
// a new array: a batch of 224x224x3 float images is over 100 MB, and every
// new one costs as much again in faulting in fresh pages as in writing the
// images. It is taken only when nothing can tell it from a new array: this
// is its only reference, there is no weak reference to it, and its shape,
// strides, dtype and flags are as they were made.
class BatchArrays {
 public:
  explicit BatchArrays(const py::array& image)
      : image_shape_(image.shape(), image.shape() + image.ndim()), dtype_(image.dtype()) {}

  py::array take(Py_ssize_t count) {
    py::array batch = std::move(spare_);
    spare_ = py::array();
    if (batch && unchanged(batch, count)) return batch;
    std::vector<py::ssize_t> shape{count};
    shape.insert(shape.end(), image_shape_.begin(), image_shape_.end());
    batch = py::array(dtype_, shape);
    made_shape_ = shape;
    made_strides_.assign(batch.strides(), batch.strides() + batch.ndim());
    made_flags_ = batch.flags();
    return batch;
  }

  void give_back(py::array&& batch) { spare_ = std::move(batch); }

 private:
  bool unchanged(const py::array& batch, Py_ssize_t count) const {
    PyObject* object = batch.ptr();
    if (Py_REFCNT(object) != 1 || made_shape_.empty() || made_shape_[0] != count) return false;
    const Py_ssize_t weak_offset = Py_TYPE(object)->tp_weaklistoffset;
    if (weak_offset <= 0 ||
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + weak_offset) != nullptr) {
      return false;
    }
    return batch.flags() == made_flags_ && batch.dtype().ptr() == dtype_.ptr() &&
           std::equal(made_shape_.begin(), made_shape_.end(), batch.shape(),
                      batch.shape() + batch.ndim()) &&
           std::equal(made_strides_.begin(), made_strides_.end(), batch.strides(),
                      batch.strides() + batch.ndim());
  }

  std::vector<py::ssize_t> image_shape_;
  py::dtype dtype_;
  py::array spare_;
  std::vector<py::ssize_t> made_shape_;
  std::vector<py::ssize_t> made_strides_;
  int made_flags_ = 0;
};

py::object data_labels(py::object self, py::object image, py::object fudged_image,
                       py::object segments, py::object classifier_fn, py::object num_samples,
                       py::object batch_size, const py::object& lime_data_labels) {
  py::object random_state = self.attr("random_state");
  kernels::PerturbationSource source;
  Py_ssize_t batch = 0;
  if (!is_exact_random_state(random_state) || !batch_length(batch_size, batch) ||
      !kernels::perturbation_source(image, fudged_image, segments, source)) {
    return lime_data_labels(self, image, fudged_image, segments, classifier_fn, num_samples,
                            "batch_size"_a = batch_size);
  }

  py::object n_features = py::int_(source.n_features);
  py::object data = random_state.attr("randint")(0, 2, multiply(num_samples, n_features))
                        .attr("reshape")(py::make_tuple(num_samples, n_features));
  data[py::make_tuple(0, py::slice(py::none(), py::none(), py::none()))] = 1;
  kernels::SampleRows rows;
  if (!kernels::sample_rows(data, rows) || rows.columns != source.n_features) {
    interop::raise(PyExc_TypeError, "the random state drew no integer matrix of the samples");
  }

  py::object lime = lime_module();
  py::list labels;
  Py_ssize_t done = 0;     // rows the progress bar has gone through
  Py_ssize_t pending = 0;  // of those, the rows not scored yet
  BatchArrays arrays(source.image);
  const auto score_pending = [&] {
    py::array images = arrays.take(pending);
    char* out = static_cast<char*>(images.mutable_data());
    {
      py::gil_scoped_release release;
      kernels::build_perturbed_images(source, rows, done - pending, pending, out);
    }
    labels.attr("extend")(classifier_fn(images));
    arrays.give_back(std::move(images));
    pending = 0;
  };
  for (py::handle row : lime.attr("tqdm")(data)) {
    (void)row;  // its entries are read from the matrix's buffer
    if (done == rows.rows) {
      interop::raise(PyExc_RuntimeError, "the progress bar went past the rows of the samples");
    }
    ++done;
    ++pending;
    if (pending == batch) score_pending();
  }
  if (pending > 0) score_pending();
  return py::make_tuple(data, lime.attr("np").attr("array")(labels));
}

// importlib.metadata's version of the installed LIME, or an empty string
// when it cannot be read.
std::string installed_lime_version() {
  try {
    return interop::str(interop::import_now("importlib.metadata", "version")("lime"));
  } catch (py::error_already_set& error) {
    if (!interop::is_exception(error)) throw;
    return std::string();
  }
}

}  // namespace

void define_lime_kernel(const Globals& g) {
  py::object lime_class = g["lime_image"].attr("LimeImageExplainer");
  py::object cls = interop::make_class(
      g, kClassName, kClassDoc,
      "(kernel_width=0.25, kernel=None, verbose=False, feature_selection='auto', "
      "random_state=None)",
      py::make_tuple(lime_class));
  py::object lime_data_labels = lime_class.attr("__dict__")["data_labels"];
  py::setattr(cls, kLimeDataLabels, lime_data_labels);
  interop::def_method(
      cls, "data_labels", kDataLabelsDoc,
      [lime_data_labels](py::object self, py::object image, py::object fudged_image,
                         py::object segments, py::object classifier_fn, py::object num_samples,
                         py::object batch_size) {
        return data_labels(self, image, fudged_image, segments, classifier_fn, num_samples,
                           batch_size, lime_data_labels);
      },
      py::arg("image"), py::arg("fudged_image"), py::arg("segments"), py::arg("classifier_fn"),
      py::arg("num_samples"), py::arg_v("batch_size", 10));
  interop::finish_class(g, cls);
}

py::object lime_explainer_class(const Globals& g) {
  py::object lime_class = g["lime_image"].attr("LimeImageExplainer");
  if (!interop::global_is_module(g, "lime_image", kLimeModule)) return lime_class;
  py::object kernel_class = g[kClassName];
  // The kernel stands in for LIME's data_labels only as long as LIME's class
  // is the one it was built on and still has that method.
  const bool unchanged =
      interop::getattr_or(kernel_class, "__base__", py::none()).is(lime_class) &&
      interop::getattr_or(kernel_class, kLimeDataLabels, py::none())
          .is(lime_class.attr("__dict__").attr("get")("data_labels"));
  if (!unchanged || installed_lime_version() != kCheckedLimeVersion) return lime_class;
  return kernel_class;
}

}  // namespace vorn::sibrelle
