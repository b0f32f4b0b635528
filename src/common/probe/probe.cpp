// Module _interop_probe: a few functions built with the interop layer, for
// the tests that check the layer itself at its edges: how C++ exceptions
// cross into Python, calls no Python syntax can make (keyword names that are
// not str), and what the layer takes from pybind11.
#include "common/interop.hpp"

#include <new>
#include <stdexcept>

namespace {

namespace py = pybind11;
namespace interop = vorn::interop;

[[noreturn]] void throw_cpp(const std::string& kind) {
  if (kind == "bad_alloc") throw std::bad_alloc();
  if (kind == "out_of_range") throw std::out_of_range("index 7 is out of range");
  if (kind == "invalid_argument") throw std::invalid_argument("not a valid argument");
  if (kind == "overflow_error") throw std::overflow_error("too large");
  if (kind == "runtime_error") throw std::runtime_error("it went wrong");
  if (kind == "value_error") throw py::value_error("a pybind11 value error");
  if (kind == "cast_error") throw py::cast_error("cannot cast");
  throw 42;  // not an exception class at all
}

// PyObject_Vectorcall with the given positional arguments and keyword names
// and values, whatever they are.
py::object vectorcall(py::object callable, py::object positional, py::object names,
                      py::object values) {
  py::tuple args(positional);
  py::tuple kwnames(names);
  py::tuple kwvalues(values);
  std::vector<PyObject*> stack;
  for (py::handle item : args) stack.push_back(item.ptr());
  for (py::handle item : kwvalues) stack.push_back(item.ptr());
  PyObject* result = PyObject_Vectorcall(callable.ptr(), stack.data(),
                                         static_cast<size_t>(args.size()),
                                         kwnames.empty() ? nullptr : kwnames.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace

VORN_INTEROP_MODULE(_interop_probe, m) {
  interop::ModuleOptions options;
  const interop::Globals g(m);
  interop::def_function(
      g, "throw_cpp", "Throw the C++ exception named by kind.",
      [](py::object kind) -> py::object { throw_cpp(interop::str(kind)); },
      py::arg("kind"));
  interop::def_function(g, "vectorcall", "Call callable through the vectorcall protocol.",
                        &vectorcall, py::arg("callable"), py::arg("positional"),
                        py::arg("names"), py::arg("values"));
  interop::def_function(
      g, "rethrow", "Call callable; rethrow what it raises from C++.",
      [](py::object callable) -> py::object {
        try {
          return interop::as_python_errors([&] { return callable(); });
        } catch (py::error_already_set&) {
          throw;
        }
      },
      py::arg("callable"));
  interop::def_function(g, "returns_nothing", "Return no object and set no error.",
                        []() { return py::object(); });
  interop::def_function(
      g, "parameters", "Return the arguments as bound.",
      [](py::object a, py::object b, py::object c) { return py::make_tuple(a, b, c); },
      py::arg("a"), py::arg("b") = py::none(),
      py::arg_v("c", py::module_::import("sys").attr("maxsize"), "sys.maxsize"));
  // The same through pybind11's own function machinery, for the benchmark.
  m.def(
      "pybind11_parameters",
      [](py::object a, py::object b, py::object c) { return py::make_tuple(a, b, c); },
      py::arg("a"), py::arg("b") = py::none(), py::arg("c") = 0);
  m.attr("PYBIND11_VERSION") =
      py::make_tuple(PYBIND11_VERSION_MAJOR, PYBIND11_VERSION_MINOR, PYBIND11_VERSION_PATCH);
}
