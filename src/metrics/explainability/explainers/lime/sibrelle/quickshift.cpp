// quickshift(): scikit-image's quickshift segmentation with its density and
// parent loops in C++ (quickshift_loops.cpp) on the module's threads.
//
// The steps before the loops (float conversion, channel axis, Lab
// conversion, scaling by ratio) and the tie-breaking noise are scikit-image's
// and numpy's own calls, taken from the namespace of scikit-image's
// quickshift, so they give exactly what its wrapper gives, warnings included.
// Calls the loops are not written for (other dtypes, return_tree, sigma > 0,
// arguments of other types, invalid arguments, releases of scikit-image the
// loops were not checked against) are handed to scikit-image's function,
// which then answers or raises as it does.
#include "metrics/explainability/explainers/lime/sibrelle/array_access.hpp"
#include "metrics/explainability/explainers/lime/sibrelle/quickshift_loops.hpp"
#include "metrics/explainability/explainers/lime/sibrelle/sibrelle.hpp"
#include "metrics/explainability/explainers/lime/sibrelle/thread_pool.hpp"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <optional>

namespace vorn::sibrelle {

namespace {

using namespace pybind11::literals;

constexpr const char* kDoc =
    R"(Segment image using quickshift clustering in Color-(x,y) space.

scikit-image's quickshift, returning the same segment map: the same colour
conversion and scaling, the same tie-breaking noise, the densities summed in
the same order, the same parents and labels. The density and parent loops run
in C++ without the GIL, their rows split over the module's threads (one per
core, at most VORN_SIBRELLE_THREADS). Calls it is not written for (dtypes other
than bool, integers and float16/32/64, return_tree, sigma other than 0,
arguments of other types, other scikit-image releases) go to scikit-image's
function, the module global skimage_quickshift.

Returns the (M, N) integer mask of segment labels.)";

// The scikit-image releases whose quickshift the loops give bit for bit
// (bounded in pyproject.toml); any other release runs its own function.
constexpr const char* kCheckedReleases[] = {"0.26.0"};
constexpr const char* kReferenceModule = "skimage.segmentation._quickshift";
// Larger kernel sizes go to scikit-image: their kernel width overflows the
// C int the reference holds it in.
constexpr double kLargestKernelSize = 1e8;
// Below this many neighbour visits a call runs on the caller's thread alone.
constexpr double kThreadedWork = 4e5;

// A call of the kind the loops are written for, in their terms.
struct NativeCall {
  double kernel_size;
  double max_dist;
  bool convert2lab;
  int64_t height;  // of the image after np.atleast_3d and moving the channels last
  int64_t width;
  int64_t channels;
};

bool exact_int(py::handle value, long long& out) {
  if (!PyLong_CheckExact(value.ptr())) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow == 0;
}

// An exact int or float, as scikit-image's loops convert it to a double
// (an int rounded to the nearest double, as PyFloat_AsDouble does).
bool exact_real(py::handle value, double& out) {
  long long whole = 0;
  if (PyFloat_CheckExact(value.ptr())) {
    out = PyFloat_AS_DOUBLE(value.ptr());
    return true;
  }
  if (!exact_int(value, whole)) return false;
  out = static_cast<double>(whole);
  return true;
}

bool is_zero(py::handle value) {
  double number = 0;
  return exact_real(value, number) && number == 0;
}

// The image's dtype is one that img_as_float turns into float16, float32
// or float64: bool, 8 to 64 bit integers, float16/32/64.
bool convertible_dtype(const py::dtype& dtype) {
  const auto size = dtype.itemsize();
  switch (dtype.kind()) {
    case 'b': return size == 1;
    case 'i':
    case 'u': return size == 1 || size == 2 || size == 4 || size == 8;
    case 'f': return size == 2 || size == 4 || size == 8;
    default: return false;
  }
}

bool checked_release() {
  py::object version = interop::getattr_or(py::module_::import("skimage"), "__version__",
                                           py::none());
  if (!PyUnicode_Check(version.ptr())) return false;
  const std::string text = interop::str(version);
  return std::any_of(std::begin(kCheckedReleases), std::end(kCheckedReleases),
                     [&](const char* release) { return text == release; });
}

std::optional<NativeCall> native_call(py::handle image, py::handle ratio, py::handle kernel_size,
                                      py::handle max_dist, py::handle return_tree,
                                      py::handle sigma, py::handle convert2lab, py::handle rng,
                                      py::handle channel_axis) {
  NativeCall call{};
  if (!kernels::is_plain_ndarray(image)) return std::nullopt;
  auto array = py::reinterpret_borrow<py::array>(image);
  if (!convertible_dtype(array.dtype()) || array.ndim() > 3 || array.size() == 0) {
    return std::nullopt;
  }
  const bool no_tree = return_tree.ptr() == Py_False ||
                       (PyLong_CheckExact(return_tree.ptr()) && is_zero(return_tree));
  if (!no_tree || !is_zero(sigma)) return std::nullopt;

  long long axis = 0;
  long long seed = 0;
  double scale = 0;
  if (!exact_int(channel_axis, axis) || axis < -3 || axis > 2) return std::nullopt;
  if (!exact_int(rng, seed) || seed < 0 || seed > INT_MAX) return std::nullopt;
  if (!exact_real(ratio, scale)) return std::nullopt;
  if (!exact_real(kernel_size, call.kernel_size) || !exact_real(max_dist, call.max_dist)) {
    return std::nullopt;
  }
  if (!(call.kernel_size >= 1 && call.kernel_size <= kLargestKernelSize)) return std::nullopt;
  if (convert2lab.ptr() == Py_True || convert2lab.ptr() == Py_False) {
    call.convert2lab = convert2lab.ptr() == Py_True;
  } else {
    long long flag = 0;
    if (!exact_int(convert2lab, flag)) return std::nullopt;
    call.convert2lab = flag != 0;
  }

  // The shape np.atleast_3d gives, then the channels moved last.
  // (N,) becomes (1, N, 1); (M, N) becomes (M, N, 1).
  int64_t shape[3] = {1, 1, 1};
  const auto ndim = array.ndim();
  for (py::ssize_t axis_index = 0; axis_index < ndim; ++axis_index) {
    shape[ndim == 1 ? 1 : axis_index] = array.shape(axis_index);
  }
  const int channel = static_cast<int>(axis < 0 ? axis + 3 : axis);
  call.channels = shape[channel];
  int64_t rest[2];
  for (int i = 0, n = 0; i < 3; ++i) {
    if (i != channel) rest[n++] = shape[i];
  }
  call.height = rest[0];
  call.width = rest[1];
  if (call.convert2lab && call.channels != 3) return std::nullopt;
  // One more than the kernel width: the image's float type may round the
  // kernel size up.
  const auto reach = static_cast<int64_t>(std::ceil(3.0 * call.kernel_size)) + 1;
  if (!quickshift::window_fits(call.height, call.width, reach)) return std::nullopt;
  if (!checked_release()) return std::nullopt;
  return call;
}

py::object multiply(py::handle a, py::handle b) {
  PyObject* product = PyNumber_Multiply(a.ptr(), b.ptr());
  if (product == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(product);
}

// What scikit-image's wrapper hands its loops, by its own steps (the
// Gaussian step is left out: with sigma 0 it copies the image unchanged).
py::object scaled_image(py::module_& reference, py::handle image, py::handle ratio,
                        py::handle channel_axis, bool convert2lab) {
  py::object np = reference.attr("np");
  py::object scaled = reference.attr("img_as_float")(np.attr("atleast_3d")(image));
  py::object float_dtype = reference.attr("_supported_float_type")(scaled.attr("dtype"));
  scaled = scaled.attr("astype")(float_dtype, "copy"_a = false);
  scaled = np.attr("moveaxis")(scaled, "source"_a = channel_axis, "destination"_a = -1);
  if (convert2lab) scaled = reference.attr("rgb2lab")(scaled);
  return np.attr("ascontiguousarray")(multiply(scaled, ratio));
}

// The float conversion of the CPU (nearest, infinity beyond the largest
// float), without C++'s undefined behaviour for values out of range.
float as_float(double value) {
  if (!(std::fabs(value) > FLT_MAX)) return static_cast<float>(value);
  constexpr double kHalfwayPastLargest = 0x1.ffffffp127;  // a tie, which goes to infinity
  const float magnitude = std::fabs(value) < kHalfwayPastLargest
                              ? FLT_MAX
                              : std::numeric_limits<float>::infinity();
  return std::signbit(value) ? -magnitude : magnitude;
}

template <typename T>
T as_loop_type(double value) {
  if constexpr (std::is_same_v<T, float>) {
    return as_float(value);
  } else {
    return value;
  }
}

// A C-contiguous native array of T with the expected shape, or a null one.
template <typename T>
py::array loop_array(py::handle value, std::initializer_list<int64_t> shape) {
  py::array array = kernels::plain_array(value);
  const int wanted = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ |
                     py::detail::npy_api::NPY_ARRAY_ALIGNED_;
  if (!array || array.dtype().kind() != 'f' || array.itemsize() != sizeof(T) ||
      (array.flags() & wanted) != wanted ||
      array.ndim() != static_cast<py::ssize_t>(shape.size()) ||
      !std::equal(shape.begin(), shape.end(), array.shape())) {
    return py::reinterpret_steal<py::array>(py::handle());
  }
  return array;
}

template <typename T>
py::object segment_scaled(py::module_& reference, const py::array& scaled, py::handle rng,
                          const NativeCall& call) {
  const int64_t height = call.height, width = call.width;
  py::object np = reference.attr("np");
  // The loops' own draw: default_rng(rng).normal(...) cast to the loops' type.
  py::object noise_values = np.attr("random").attr("default_rng")(rng)
                                .attr("normal")("scale"_a = 0.00001,
                                                "size"_a = py::make_tuple(height, width))
                                .attr("astype")(np.attr(std::is_same_v<T, float> ? "float32"
                                                                                 : "float64"),
                                                "copy"_a = false);
  py::array noise = loop_array<T>(noise_values, {height, width});
  if (!noise) interop::raise(PyExc_RuntimeError, "the tie-breaking noise is no float array");

  const T kernel_size = as_loop_type<T>(call.kernel_size);
  const T max_dist = as_loop_type<T>(call.max_dist);
  const int64_t reach = quickshift::kernel_width(kernel_size);
  const double window = static_cast<double>(2 * std::min(reach, height) + 1) *
                        static_cast<double>(2 * std::min(reach, width) + 1);
  const size_t budget = threads::thread_budget();
  const bool small = static_cast<double>(height) * static_cast<double>(width) * window <
                     kThreadedWork;
  const size_t threads = small ? 1 : budget;
  const quickshift::TaskRunner run_tasks = [threads](size_t count,
                                                     const std::function<void(size_t)>& task) {
    threads::parallel_for(count, threads, task);
  };

  py::array_t<int64_t> labels({height, width});
  const quickshift::ScaledImage<T> image{static_cast<const T*>(scaled.data()), height, width,
                                         call.channels};
  const T* noise_data = static_cast<const T*>(noise.data());
  int64_t* out = labels.mutable_data();
  {
    py::gil_scoped_release release;
    quickshift::segment(image, kernel_size, max_dist, noise_data, threads, run_tasks, out);
  }
  return std::move(labels);
}

py::object segment_image(const Globals& g, py::object image, py::object ratio,
                         py::object kernel_size, py::object max_dist, py::object return_tree,
                         py::object sigma, py::object convert2lab, py::object rng,
                         py::object channel_axis) {
  const auto call = native_call(image, ratio, kernel_size, max_dist, return_tree, sigma,
                                convert2lab, rng, channel_axis);
  if (call) {
    py::module_ reference = py::module_::import(kReferenceModule);
    py::object scaled = scaled_image(reference, image, ratio, channel_axis, call->convert2lab);
    const std::initializer_list<int64_t> shape = {call->height, call->width, call->channels};
    if (py::array doubles = loop_array<double>(scaled, shape)) {
      return segment_scaled<double>(reference, doubles, rng, *call);
    }
    if (py::array floats = loop_array<float>(scaled, shape)) {
      return segment_scaled<float>(reference, floats, rng, *call);
    }
    // Not reached with the checked releases, which always give one of the two.
  }
  return g["skimage_quickshift"](image, ratio, kernel_size, max_dist, return_tree, sigma,
                                 convert2lab, rng, "channel_axis"_a = channel_axis);
}

}  // namespace

bool quickshift_release_checked() { return checked_release(); }

void define_quickshift(const Globals& g) {
  threads::install_process_hooks();
  interop::def_function(
      g, "quickshift", kDoc,
      [g](py::object image, py::object ratio, py::object kernel_size, py::object max_dist,
          py::object return_tree, py::object sigma, py::object convert2lab, py::object rng,
          py::object channel_axis) {
        return segment_image(g, image, ratio, kernel_size, max_dist, return_tree, sigma,
                             convert2lab, rng, channel_axis);
      },
      py::arg("image"), py::arg_v("ratio", py::float_(1.0)), py::arg_v("kernel_size", py::int_(5)),
      py::arg_v("max_dist", py::int_(10)), py::arg_v("return_tree", py::bool_(false)),
      py::arg_v("sigma", py::int_(0)), py::arg_v("convert2lab", py::bool_(true)),
      py::arg_v("rng", py::int_(42)), py::kw_only(), py::arg_v("channel_axis", py::int_(-1)));
}

}  // namespace vorn::sibrelle
