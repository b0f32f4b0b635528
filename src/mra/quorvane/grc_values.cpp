// The number a metric value is stored as in the GRC service. Every check runs
// before anything is sent: a value the JSON encoder refuses would otherwise
// fail the request half-way through a publication, and the rollback that
// follows deletes the risk's metric objects, earlier runs' included.
#include "mra/quorvane/quorvane.hpp"

#include <cmath>

namespace vorn::quorvane::grc {

namespace {

using interop::concat;

// A numpy scalar as the Python number it holds (numpy's float32 and integer
// types are no JSON numbers); anything else unchanged.
py::object as_python_number(const Globals& g, py::object value) {
  if (interop::isinstance(value, g["np"].attr("generic"))) return value.attr("item")();
  return value;
}

}  // namespace

py::object value_to_publish(const Globals& g, py::handle metric_name, py::object metric_value) {
  if (PyList_CheckExact(metric_value.ptr()) && py::len(metric_value) > 0) {
    metric_value = g["sum"](metric_value) / g["len"](metric_value);
  }
  py::object value = as_python_number(g, g["round"](as_python_number(g, metric_value), 4));
  // The types the JSON encoder writes as numbers (bool is an int).
  const bool is_float = PyFloat_Check(value.ptr());
  if (!is_float && !PyLong_Check(value.ptr())) {
    interop::raise(PyExc_TypeError,
                   concat({"Metric '", metric_name, "' cannot be stored in Ledgora: its value ",
                           py::repr(value), " is not an int or a float"}));
  }
  if (is_float && !std::isfinite(PyFloat_AS_DOUBLE(value.ptr()))) {
    interop::raise_value_error(concat({"Metric '", metric_name,
                                       "' cannot be stored in Ledgora: its value ", value,
                                       " is not a finite number"}));
  }
  return value;
}

}  // namespace vorn::quorvane::grc
