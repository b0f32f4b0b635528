// The function type of the extension modules: argument binding with
// CPython's own rules and messages, binding as a method, introspection.
#include "common/function.hpp"

#include <pybind11/detail/exception_translation.h>

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace vorn::interop::detail {

// ---------------------------------------------------------------------------
// Parameter lists

namespace {
// The parameter's name, interned (keyword arguments match by identity
// first); a definition that Python would reject fails the module load.
py::object parameter_name(const std::vector<py::object>& names, const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw py::error_already_set();
  for (const py::object& existing : names) {
    if (existing.ptr() == name) {
      Py_DECREF(name);
      py::pybind11_fail(std::string("duplicate parameter name: ") + text);
    }
  }
  return py::reinterpret_steal<py::object>(name);
}
}  // namespace

void ParameterList::add(const py::arg& parameter) {
  if (keyword_only_from >= 0) {
    py::pybind11_fail(std::string("keyword-only parameter without a default: ") + parameter.name);
  }
  if (!defaults.empty()) {
    py::pybind11_fail(std::string("parameter without a default follows one with a default: ") +
                      parameter.name);
  }
  names.push_back(parameter_name(names, parameter.name));
}

void ParameterList::add(const py::arg_v& parameter) {
  if (!parameter.value) py::pybind11_fail(std::string("no default value for ") + parameter.name);
  names.push_back(parameter_name(names, parameter.name));
  defaults.push_back(parameter.value);
  // A default without a literal form (an enum member, say) is written as the
  // expression naming it, given as the annotation's description, e.g.
  // py::arg_v("mode", Mode.FAST, "Mode.FAST"); inspect evaluates such names
  // in the function's module.
  default_texts.push_back(parameter.descr != nullptr ? py::str(parameter.descr)
                                                     : py::repr(parameter.value));
}

void ParameterList::add(const py::kw_only&) {
  if (keyword_only_from >= 0) py::pybind11_fail("a second keyword-only marker");
  keyword_only_from = static_cast<long>(names.size());
}

void ParameterList::add(const annotation& item) { annotations[item.name] = item.value; }

namespace {

// ---------------------------------------------------------------------------
// The object

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* name;            // str
  PyObject* qualname;        // str
  PyObject* module;          // any object, or null (reads as None)
  PyObject* doc;             // any object, or null (reads as None)
  PyObject* dict;            // the function's own attributes
  PyObject* annotations;     // dict, or null until first read
  PyObject* signature;       // an explicitly assigned __signature__, or null
  PyObject* weakrefs;
  PyObject* parameters;      // tuple of interned str: positional, then keyword-only
  Py_ssize_t positional;     // how many of them are positional
  PyObject* defaults;        // tuple: defaults of the last positional parameters,
                             // then of every keyword-only one
  PyObject* text_signature;  // str, e.g. "(self, data=None)"
  Body* body;
};

// Bound arguments live on the C stack of the call.
constexpr size_t kMaxParameters = 32;

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

// ---------------------------------------------------------------------------
// Entering a call: the interpreter's recursion limit, and a guard on the C
// stack itself. A C++ function re-entered through Python code (a substituted
// global, an override) recurses on the C stack; with a raised recursion
// limit the stack can run out before the limit is reached, where Python
// code would raise RecursionError. Keep a reserve for unwinding instead.

#if defined(__linux__)
struct StackBounds {
  bool known = false;
  uintptr_t limit = 0;  // the lowest address a call may start from
};

StackBounds current_thread_stack() {
  StackBounds bounds;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bounds;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr && size > 0) {
    const size_t reserve = std::min<size_t>(size / 4, 256 * 1024);
    bounds.known = true;
    bounds.limit = reinterpret_cast<uintptr_t>(low) + reserve;
  }
  pthread_attr_destroy(&attributes);
  return bounds;
}

bool stack_exhausted() {
  thread_local const StackBounds bounds = current_thread_stack();
  if (!bounds.known) return false;
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < bounds.limit;
}
#else
bool stack_exhausted() { return false; }
#endif

bool enter_call() {
  if (stack_exhausted()) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return false;
  }
  return Py_EnterRecursiveCall("") == 0;
}

// ---------------------------------------------------------------------------
// Argument binding, as CPython binds the arguments of a Python function whose
// parameters are positional-or-keyword, then keyword-only, with its error
// messages.

Py_ssize_t keyword_only_count(FunctionObject* function) {
  return PyTuple_GET_SIZE(function->parameters) - function->positional;
}

Py_ssize_t positional_defaults(FunctionObject* function) {
  return PyTuple_GET_SIZE(function->defaults) - keyword_only_count(function);
}

void too_many_positional(FunctionObject* function, PyObject* const* slots, Py_ssize_t given) {
  const Py_ssize_t count = function->positional;
  const Py_ssize_t defaults = positional_defaults(function);
  Py_ssize_t keyword_only_given = 0;
  for (Py_ssize_t i = count; i < PyTuple_GET_SIZE(function->parameters); ++i) {
    keyword_only_given += slots[i] != nullptr;
  }
  PyObject* accepted = defaults > 0
                           ? PyUnicode_FromFormat("from %zd to %zd", count - defaults, count)
                           : PyUnicode_FromFormat("%zd", count);
  if (accepted == nullptr) return;
  PyObject* keyword_only = keyword_only_given > 0
      ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                             given != 1 ? "s" : "", keyword_only_given,
                             keyword_only_given != 1 ? "s" : "")
      : PyUnicode_FromString("");
  if (keyword_only != nullptr) {
    const bool plural = defaults > 0 || count != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 function->qualname, accepted, plural ? "s" : "", given, keyword_only,
                 given == 1 && keyword_only_given == 0 ? "was" : "were");
    Py_DECREF(keyword_only);
  }
  Py_DECREF(accepted);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists them.
PyObject* listed_names(PyObject* names) {
  const Py_ssize_t count = PyList_GET_SIZE(names);
  if (count == 1) return Py_NewRef(PyList_GET_ITEM(names, 0));
  if (count == 2) {
    return PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0),
                                PyList_GET_ITEM(names, 1));
  }
  PyObject* tail = PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names, count - 2),
                                        PyList_GET_ITEM(names, count - 1));
  if (tail == nullptr) return nullptr;
  PyObject* head_items = PyList_GetSlice(names, 0, count - 2);
  PyObject* separator = PyUnicode_FromString(", ");
  PyObject* head = head_items != nullptr && separator != nullptr
                       ? PyUnicode_Join(separator, head_items)
                       : nullptr;
  Py_XDECREF(head_items);
  Py_XDECREF(separator);
  PyObject* joined = head != nullptr ? PyUnicode_Concat(head, tail) : nullptr;
  Py_XDECREF(head);
  Py_DECREF(tail);
  return joined;
}

void missing_arguments(FunctionObject* function, PyObject** slots, Py_ssize_t from,
                       Py_ssize_t to) {
  PyObject* names = PyList_New(0);
  if (names == nullptr) return;
  for (Py_ssize_t i = from; i < to; ++i) {
    if (slots[i] != nullptr) continue;
    PyObject* name = PyObject_Repr(PyTuple_GET_ITEM(function->parameters, i));
    if (name == nullptr || PyList_Append(names, name) < 0) {
      Py_XDECREF(name);
      Py_DECREF(names);
      return;
    }
    Py_DECREF(name);
  }
  PyObject* listed = listed_names(names);
  if (listed != nullptr) {
    const Py_ssize_t count = PyList_GET_SIZE(names);
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 function->qualname, count, count == 1 ? "" : "s", listed);
    Py_DECREF(listed);
  }
  Py_DECREF(names);
}

// The index of the parameter named `key`, -1 when there is none, -2 when
// comparing raised.
Py_ssize_t parameter_index(FunctionObject* function, PyObject* key) {
  const Py_ssize_t count = PyTuple_GET_SIZE(function->parameters);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyTuple_GET_ITEM(function->parameters, i) == key) return i;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    const int equal = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(function->parameters, i), Py_EQ);
    if (equal < 0) return -2;
    if (equal > 0) return i;
  }
  return -1;
}

// Fill `slots` (one per parameter, borrowed references) from the call's
// arguments; false with a Python error when they do not fit.
bool bind(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** slots) {
  const Py_ssize_t count = PyTuple_GET_SIZE(function->parameters);
  const Py_ssize_t positional = function->positional;
  std::fill(slots, slots + count, nullptr);
  std::copy(args, args + std::min(nargs, positional), slots);

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", function->qualname);
      return false;
    }
    const Py_ssize_t index = parameter_index(function, key);
    if (index == -2) return false;
    if (index == -1) {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                   function->qualname, key);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                   function->qualname, key);
      return false;
    }
    slots[index] = args[nargs + k];
  }

  if (nargs > positional) {
    too_many_positional(function, slots, nargs);
    return false;
  }
  // Every keyword-only parameter has a default, so the defaults tuple lines
  // up with the parameters from the first positional one that has a default.
  const Py_ssize_t required = positional - positional_defaults(function);
  for (Py_ssize_t i = nargs; i < required; ++i) {
    if (slots[i] == nullptr) {
      missing_arguments(function, slots, i, required);
      return false;
    }
  }
  for (Py_ssize_t i = std::max(nargs, required); i < count; ++i) {
    if (slots[i] == nullptr) slots[i] = PyTuple_GET_ITEM(function->defaults, i - required);
  }
  return true;
}

// Run the body; every C++ exception becomes the Python exception it stands
// for, as at pybind11's own module boundary.
PyObject* run_body(FunctionObject* function, PyObject* const* slots) {
  try {
    return function->body->call(slots).release().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* function = as_function(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!enter_call()) return nullptr;
  PyObject* slots[kMaxParameters];
  PyObject* result = nullptr;
  if (bind(function, args, nargs, kwnames, slots)) result = run_body(function, slots);
  Py_LeaveRecursiveCall();
  return result;
}

// ---------------------------------------------------------------------------
// Type slots

// Like a Python function: a method when read from an instance, the function
// itself when read from the class.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* function = as_function(self);
  Py_VISIT(function->module);
  Py_VISIT(function->doc);
  Py_VISIT(function->dict);
  Py_VISIT(function->annotations);
  Py_VISIT(function->signature);
  Py_VISIT(function->defaults);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* function = as_function(self);
  Py_CLEAR(function->module);
  Py_CLEAR(function->doc);
  Py_CLEAR(function->dict);
  Py_CLEAR(function->annotations);
  Py_CLEAR(function->signature);
  return 0;
}

void function_dealloc(PyObject* self) {
  FunctionObject* function = as_function(self);
  PyObject_GC_UnTrack(self);
  if (function->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(function->name);
  Py_CLEAR(function->qualname);
  Py_CLEAR(function->parameters);
  Py_CLEAR(function->defaults);
  Py_CLEAR(function->text_signature);
  delete function->body;  // releases what the C++ body holds
  function->body = nullptr;
  PyObject_GC_Del(self);
}

// ---------------------------------------------------------------------------
// Attributes

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

int set_str_attribute(PyObject** slot, PyObject* value, const char* message) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_attribute(&as_function(self)->name, value,
                           "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_attribute(&as_function(self)->qualname, value,
                           "__qualname__ must be set to a string object");
}

PyObject* or_none(PyObject* value) { return Py_NewRef(value != nullptr ? value : Py_None); }

PyObject* get_module(PyObject* self, void*) { return or_none(as_function(self)->module); }

int set_module(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
  return 0;
}

PyObject* get_doc(PyObject* self, void*) { return or_none(as_function(self)->doc); }

int set_doc(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* function = as_function(self);
  if (function->annotations == nullptr) {
    function->annotations = PyDict_New();
    if (function->annotations == nullptr) return nullptr;
  }
  return Py_NewRef(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->annotations, value == Py_None ? nullptr : Py_XNewRef(value));
  return 0;
}

PyObject* get_text_signature(PyObject* self, void*) {
  return Py_NewRef(as_function(self)->text_signature);
}

// The signature with the annotations: parameters, defaults (the objects
// themselves) and annotations, as inspect builds it for a Python function.
PyObject* annotated_signature(FunctionObject* function) {
  try {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter_type = inspect.attr("Parameter");
    py::object empty = parameter_type.attr("empty");
    py::object positional_kind = parameter_type.attr("POSITIONAL_OR_KEYWORD");
    py::object keyword_only_kind = parameter_type.attr("KEYWORD_ONLY");
    auto annotations = py::reinterpret_borrow<py::dict>(function->annotations);
    const Py_ssize_t count = PyTuple_GET_SIZE(function->parameters);
    const Py_ssize_t required = count - PyTuple_GET_SIZE(function->defaults);
    py::list parameters;
    for (Py_ssize_t i = 0; i < count; ++i) {
      py::handle name = PyTuple_GET_ITEM(function->parameters, i);
      py::handle kind = i < function->positional ? positional_kind : keyword_only_kind;
      py::object default_value =
          i < required ? empty
                       : py::reinterpret_borrow<py::object>(
                             PyTuple_GET_ITEM(function->defaults, i - required));
      using namespace py::literals;
      parameters.append(parameter_type(name, kind, "default"_a = default_value,
                                       "annotation"_a = annotations.attr("get")(name, empty)));
    }
    using namespace py::literals;
    py::object signature = inspect.attr("Signature")(
        parameters, "return_annotation"_a = annotations.attr("get")("return", empty));
    return signature.release().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  return nullptr;
}

// An assigned __signature__ wins; an annotated function describes itself
// (a text signature cannot carry annotations); otherwise None, and inspect
// reads __text_signature__.
PyObject* get_signature(PyObject* self, void*) {
  FunctionObject* function = as_function(self);
  if (function->signature != nullptr) return Py_NewRef(function->signature);
  if (function->annotations != nullptr && PyDict_GET_SIZE(function->annotations) > 0) {
    return annotated_signature(function);
  }
  Py_RETURN_NONE;
}

// Assigning None (or deleting) leaves the function describing itself again.
int set_signature(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_function(self)->signature, value == Py_None ? nullptr : Py_XNewRef(value));
  return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Copies and pickles refer to the function by its qualified name, as for a
// Python function.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
  PyTypeObject type{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = "vorn_metrics_plugin.native_function";
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_setattro = PyObject_GenericSetAttr;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                  Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_doc = "A function of a native module, bound and introspected like a Python function.";
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  type.tp_methods = function_methods;
  type.tp_getset = function_getset;
  type.tp_descr_get = function_descr_get;
  type.tp_dictoffset = offsetof(FunctionObject, dict);
  return type;
}();

py::object text_signature(const ParameterList& parameters) {
  const size_t count = parameters.names.size();
  const size_t required = count - parameters.defaults.size();
  py::list pieces;
  for (size_t i = 0; i < count; ++i) {
    if (i == parameters.positional_count()) pieces.append(py::str("*"));
    pieces.append(i < required
                      ? parameters.names[i]
                      : py::object(py::str("{}={}").format(parameters.names[i],
                                                          parameters.default_texts[i - required])));
  }
  return py::str("({})").format(py::str(", ").attr("join")(pieces));
}

py::tuple as_tuple(const std::vector<py::object>& items) {
  py::tuple tuple(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), items[i].inc_ref().ptr());
  }
  return tuple;
}

}  // namespace

py::object new_function(std::unique_ptr<Body> body, const ParameterList& parameters,
                        py::handle name, py::handle qualname, py::handle module,
                        const char* doc) {
  if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0) {
    throw py::error_already_set();
  }
  if (!PyUnicode_Check(name.ptr()) || !PyUnicode_Check(qualname.ptr())) {
    py::pybind11_fail("a function's name and qualified name are str");
  }
  if (parameters.names.size() > kMaxParameters) py::pybind11_fail("too many parameters");
  py::object signature = text_signature(parameters);
  py::tuple names = as_tuple(parameters.names);
  py::tuple defaults = as_tuple(parameters.defaults);
  py::object doc_text = doc != nullptr ? py::object(py::str(doc)) : py::object();
  py::object annotations =
      py::len(parameters.annotations) > 0 ? py::object(py::dict(parameters.annotations)) : py::object();

  FunctionObject* function = PyObject_GC_New(FunctionObject, &function_type);
  if (function == nullptr) throw py::error_already_set();
  function->vectorcall = function_vectorcall;
  function->name = name.inc_ref().ptr();
  function->qualname = qualname.inc_ref().ptr();
  function->module = module ? module.inc_ref().ptr() : nullptr;
  function->doc = doc_text.release().ptr();
  function->dict = nullptr;
  function->annotations = annotations.release().ptr();
  function->signature = nullptr;
  function->weakrefs = nullptr;
  function->parameters = names.release().ptr();
  function->positional = static_cast<Py_ssize_t>(parameters.positional_count());
  function->defaults = defaults.release().ptr();
  function->text_signature = signature.release().ptr();
  function->body = body.release();
  PyObject_GC_Track(function);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(function));
}

}  // namespace vorn::interop::detail
