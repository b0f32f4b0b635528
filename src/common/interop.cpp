#include "common/interop.hpp"

namespace vorn::interop {

// ---------------------------------------------------------------------------
// Module namespace

Globals::Globals(const py::module_& module)
    : ns_(py::reinterpret_borrow<py::dict>(module.attr("__dict__"))) {}

py::object Globals::operator[](const char* name) const {
  PyObject* value = PyDict_GetItemString(ns_.ptr(), name);
  if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
  // Same fallback as a global name in Python code: the module's builtins.
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins != nullptr) {
    value = PyDict_GetItemString(builtins, name);
    if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
  }
  raise(PyExc_NameError, "name '" + std::string(name) + "' is not defined");
}

void Globals::set(const char* name, py::handle value) const {
  ns_[name] = value;
}

std::string Globals::module_name() const {
  return str(ns_["__name__"]);
}

void import_module(const Globals& g, const char* module, const char* as) {
  py::module_ imported = py::module_::import(module);
  if (as != nullptr) {
    g.set(as, imported);
    return;
  }
  // `import a.b` binds the top-level package `a`.
  std::string top(module);
  top = top.substr(0, top.find('.'));
  g.set(top.c_str(), py::module_::import(top.c_str()));
}

py::object import_now(const char* module, const char* name) {
  py::object fromlist = py::make_tuple(name);
  py::object imported = py::reinterpret_steal<py::object>(
      PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
  if (!imported) throw py::error_already_set();
  PyObject* value = PyObject_GetAttrString(imported.ptr(), name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    raise(PyExc_ImportError,
          "cannot import name '" + std::string(name) + "' from '" + module + "'");
  }
  return py::reinterpret_steal<py::object>(value);
}

void import_from(const Globals& g, const char* module,
                 std::initializer_list<const char*> names) {
  for (const char* name : names) g.set(name, import_now(module, name));
}

void import_from_as(const Globals& g, const char* module, const char* name,
                    const char* alias) {
  g.set(alias, import_now(module, name));
}

// ---------------------------------------------------------------------------
// Python semantics

bool truthy(py::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

bool isinstance(py::handle value, PyObject* type) {
  const int result = PyObject_IsInstance(value.ptr(), type);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

bool isinstance_of(py::handle value, PyTypeObject* builtin_type) {
  if (PyObject_TypeCheck(value.ptr(), builtin_type)) return true;
  if (!PyType_HasFeature(Py_TYPE(value.ptr()), Py_TPFLAGS_HEAPTYPE)) return false;
  return isinstance(value, reinterpret_cast<PyObject*>(builtin_type));
}

bool isinstance(py::handle value, py::handle type) {
  return isinstance(value, type.ptr());
}

bool is_none(py::handle value) { return value.is_none(); }

bool callable(py::handle value) { return PyCallable_Check(value.ptr()) == 1; }

bool contains(py::handle container, py::handle item) {
  const int result = PySequence_Contains(container.ptr(), item.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

py::object compare(py::handle a, py::handle b, int op) {
  PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

py::str pystr(py::handle value) {
  PyObject* text = PyObject_Str(value.ptr());
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

namespace {
// UTF-8 of a Python str; lone surrogates are escaped rather than failing, so
// that building a message never turns into a different error.
std::string utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data != nullptr) return std::string(data, static_cast<size_t>(size));
  PyErr_Clear();
  PyObject* bytes =
      PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace");
  if (bytes == nullptr) throw py::error_already_set();
  std::string out(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return out;
}
}  // namespace

std::string str(py::handle value) { return utf8(pystr(value)); }

std::string repr(py::handle value) {
  PyObject* text = PyObject_Repr(value.ptr());
  if (text == nullptr) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::str>(text);
  return utf8(owned);
}

Piece::Piece(const char* literal) : text_(py::str(literal)) {}
Piece::Piece(const std::string& literal) : text_(py::str(literal)) {}
Piece::Piece(py::handle value) : text_(pystr(value)) {}

py::str concat(std::initializer_list<Piece> pieces) {
  py::list parts(pieces.size());
  size_t index = 0;
  for (const Piece& piece : pieces) {
    PyList_SET_ITEM(parts.ptr(), index++, piece.text().inc_ref().ptr());
  }
  const py::str nothing("");
  PyObject* joined = PyUnicode_Join(nothing.ptr(), parts.ptr());
  if (joined == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
}

py::object getattr_or(py::handle obj, const char* name, py::handle fallback) {
  PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
  if (value != nullptr) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::reinterpret_borrow<py::object>(fallback);
}

// ---------------------------------------------------------------------------
// Exceptions

void raise(PyObject* type, const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(),
                                        static_cast<Py_ssize_t>(message.size()),
                                        "surrogateescape");
  if (text == nullptr) throw py::error_already_set();
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  throw py::error_already_set();
}

void raise(py::handle type, const std::string& message) { raise(type.ptr(), message); }

void raise_exception(const std::string& message) { raise(PyExc_Exception, message); }

void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }

void raise(PyObject* type, py::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw py::error_already_set();
}

void raise_exception(py::handle message) { raise(PyExc_Exception, message); }

void raise_value_error(py::handle message) { raise(PyExc_ValueError, message); }

void raise_while_handling(const py::error_already_set& handled, PyObject* type,
                          const std::string& message) {
  Handling handling(handled);
  raise(type, message);
}

Handling::Handling(const py::error_already_set& error) {
  PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_trace_);
  PyObject* value = error.value().ptr();
  // The handled exception carries the traceback it was caught with.
  if (error.trace()) PyException_SetTraceback(value, error.trace().ptr());
  Py_XINCREF(error.type().ptr());
  Py_XINCREF(value);
  Py_XINCREF(error.trace().ptr());
  PyErr_SetExcInfo(error.type().ptr(), value, error.trace().ptr());  // steals all three
}

Handling::~Handling() {
  PyErr_SetExcInfo(saved_type_, saved_value_, saved_trace_);  // steals all three
}

py::object context_method(py::handle manager, const char* name) {
  py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
  py::object method = getattr_or(type, name, py::handle());
  if (!method) {
    std::string message = std::string("'") + Py_TYPE(manager.ptr())->tp_name +
                          "' object does not support the context manager protocol";
    if (std::string(name) == "__exit__") message += " (missed __exit__ method)";
    raise(PyExc_TypeError, message);
  }
  return method;
}

bool is_exception(const py::error_already_set& error) {
  return error.matches(PyExc_Exception);
}

std::vector<py::object> unpack(py::handle value, size_t count) {
  PyObject* iterator = PyObject_GetIter(value.ptr());
  if (iterator == nullptr) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr &&
        !PySequence_Check(value.ptr())) {
      PyErr_Clear();
      raise(PyExc_TypeError,
            std::string("cannot unpack non-iterable ") + type->tp_name + " object");
    }
    throw py::error_already_set();
  }
  auto owned = py::reinterpret_steal<py::object>(iterator);
  std::vector<py::object> items;
  items.reserve(count);
  while (items.size() < count) {
    PyObject* item = PyIter_Next(iterator);
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      raise(PyExc_ValueError, "not enough values to unpack (expected " +
                                  std::to_string(count) + ", got " +
                                  std::to_string(items.size()) + ")");
    }
    items.push_back(py::reinterpret_steal<py::object>(item));
  }
  PyObject* extra = PyIter_Next(iterator);
  if (extra != nullptr) {
    Py_DECREF(extra);
    raise(PyExc_ValueError,
          "too many values to unpack (expected " + std::to_string(count) + ")");
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return items;
}

bool global_is_module(const Globals& g, const char* name, const char* module) {
  PyObject* current = PyDict_GetItemString(g.dict().ptr(), name);
  if (current == nullptr) return false;
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* loaded = modules != nullptr ? PyDict_GetItemString(modules, module) : nullptr;
  return loaded != nullptr && loaded == current;
}

bool global_is(const Globals& g, const char* name, const char* module, const char* attribute) {
  PyObject* current = PyDict_GetItemString(g.dict().ptr(), name);
  if (current == nullptr) {
    PyObject* builtins = PyEval_GetBuiltins();
    current = builtins != nullptr ? PyDict_GetItemString(builtins, name) : nullptr;
  }
  if (current == nullptr) return false;
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* loaded = modules != nullptr ? PyDict_GetItemString(modules, module) : nullptr;
  if (loaded == nullptr) return false;
  PyObject* original = PyObject_GetAttrString(loaded, attribute);
  if (original == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool same = original == current;
  Py_DECREF(original);
  return same;
}

namespace {
void log_with(const Globals& g, const char* method, py::handle message) {
  g["logger"].attr(method)(message);
}
}  // namespace

void log_debug(const Globals& g, const std::string& message) {
  log_with(g, "log_debug", py::str(message));
}
void log_warning(const Globals& g, const std::string& message) {
  log_with(g, "log_warning", py::str(message));
}
void log_error(const Globals& g, const std::string& message) {
  log_with(g, "log_error", py::str(message));
}
void log_debug(const Globals& g, py::handle message) { log_with(g, "log_debug", message); }
void log_warning(const Globals& g, py::handle message) { log_with(g, "log_warning", message); }
void log_error(const Globals& g, py::handle message) { log_with(g, "log_error", message); }

// ---------------------------------------------------------------------------
// Classes

py::object make_class(const Globals& g, const char* name, const char* doc,
                      const char* init_signature, py::tuple bases) {
  py::dict ns;
  ns["__module__"] = g.module_name();
  ns["__qualname__"] = name;
  // The type keeps the docstring it was created with as its internal doc,
  // where "Name(params)\n--\n\n" is read as the class's text signature; the
  // visible __doc__ is then set to the docstring alone.
  ns["__doc__"] = std::string(name) + init_signature + "\n--\n\n" + doc;
  py::object type = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(&PyType_Type));
  py::object cls = type(name, bases, ns);
  py::setattr(cls, "__doc__", py::str(doc));
  g.set(name, cls);
  return cls;
}

namespace detail {
void as_plain_method(const py::cpp_function& method) {
  PyObject* function = method.ptr();
  if (PyInstanceMethod_Check(function)) function = PyInstanceMethod_GET_FUNCTION(function);
  if (!PyCFunction_Check(function)) return;
  auto* record = py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(function));
  if (record != nullptr) record->is_constructor = false;
}
}  // namespace detail

std::string mangled(py::handle cls, const char* name) {
  std::string class_name = str(cls.attr("__name__"));
  const size_t first = class_name.find_first_not_of('_');
  return "_" + class_name.substr(first == std::string::npos ? 0 : first) + name;
}

}  // namespace vorn::interop
