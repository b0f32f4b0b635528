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
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  throw py::error_already_set();
}

void Globals::set(const char* name, py::handle value) const {
  ns_[name] = value;
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

namespace {
// `from module import name as value`, compiled and run in a scratch
// namespace: the interpreter's own fallback to sys.modules for a submodule
// and its own error (text, name and path, which differ between versions).
py::object import_statement(const char* module, const char* name) {
  const std::string statement = std::string("from ") + module + " import " + name + " as value";
  auto code = py::reinterpret_steal<py::object>(
      Py_CompileString(statement.c_str(), "<import>", Py_file_input));
  if (!code) throw py::error_already_set();
  py::dict scope;
  scope["__builtins__"] = py::module_::import("builtins");
  auto done = py::reinterpret_steal<py::object>(PyEval_EvalCode(code.ptr(), scope.ptr(), scope.ptr()));
  if (!done) throw py::error_already_set();
  return scope["value"];
}
}  // namespace

py::object import_now(const char* module, const char* name) {
  // What the statement does first: import the module with `name` in the
  // from-list (which imports a submodule of that name) and read the name.
  // A missing module raises the interpreter's own error here; only a missing
  // name takes the statement itself, for its exact error, so the usual call
  // compiles nothing.
  const py::tuple fromlist = py::make_tuple(py::str(name));
  auto imported = py::reinterpret_steal<py::object>(
      PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
  if (!imported) throw py::error_already_set();
  PyObject* value = PyObject_GetAttrString(imported.ptr(), name);
  if (value != nullptr) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return import_statement(module, name);
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

Piece::Piece(const char* literal) : text_(py::str(literal)) {}
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

void raise(PyObject* type, py::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw py::error_already_set();
}

void raise(PyObject* type, const char* message) { raise(type, py::str(message)); }
void raise(py::handle type, const char* message) { raise(type.ptr(), py::str(message)); }
void raise(py::handle type, py::handle message) { raise(type.ptr(), message); }

void raise_exception(const char* message) { raise(PyExc_Exception, message); }
void raise_exception(py::handle message) { raise(PyExc_Exception, message); }
void raise_value_error(const char* message) { raise(PyExc_ValueError, message); }
void raise_value_error(py::handle message) { raise(PyExc_ValueError, message); }

void raise_while_handling(const py::error_already_set& handled, PyObject* type,
                          py::handle message) {
  Handling handling(handled);
  raise(type, message);
}

void raise_while_handling(const py::error_already_set& handled, PyObject* type,
                          const char* message) {
  raise_while_handling(handled, type, py::str(message));
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
    const bool exit = std::string(name) == "__exit__";
    PyErr_Format(PyExc_TypeError, "'%s' object does not support the context manager protocol%s",
                 Py_TYPE(manager.ptr())->tp_name, exit ? " (missed __exit__ method)" : "");
    throw py::error_already_set();
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
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object", type->tp_name);
      throw py::error_already_set();
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
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)",
                   count, items.size());
      throw py::error_already_set();
    }
    items.push_back(py::reinterpret_steal<py::object>(item));
  }
  PyObject* extra = PyIter_Next(iterator);
  if (extra != nullptr) {
    Py_DECREF(extra);
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
    throw py::error_already_set();
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

void log_debug(const Globals& g, const char* message) {
  log_with(g, "log_debug", py::str(message));
}
void log_warning(const Globals& g, const char* message) {
  log_with(g, "log_warning", py::str(message));
}
void log_error(const Globals& g, const char* message) {
  log_with(g, "log_error", py::str(message));
}
void log_debug(const Globals& g, py::handle message) { log_with(g, "log_debug", message); }
void log_warning(const Globals& g, py::handle message) { log_with(g, "log_warning", message); }
void log_error(const Globals& g, py::handle message) { log_with(g, "log_error", message); }

// ---------------------------------------------------------------------------
// Classes

namespace {
// Where make_class keeps, in the body, what finish_class needs besides the
// members: the bases and the docstring (the namespace's __doc__ carries the
// text signature header).
constexpr const char* kClassRecipe = "__interop_class__";
}  // namespace

py::object make_class(const Globals& g, const char* name, const char* doc,
                      const char* init_signature, py::tuple bases) {
  py::object body = py::module_::import("types").attr("SimpleNamespace")();
  py::str class_name(name);
  body.attr("__name__") = class_name;
  body.attr("__module__") = g.dict()["__name__"];
  body.attr("__qualname__") = class_name;
  // The type keeps the docstring it was created with as its internal doc,
  // where "Name(params)\n--\n\n" is read as the class's text signature; the
  // visible __doc__ is then set to the docstring alone.
  body.attr("__doc__") = concat({class_name, init_signature, "\n--\n\n", doc});
  body.attr(kClassRecipe) = py::make_tuple(bases, py::str(doc));
  return body;
}

py::object finish_class(const Globals& g, py::handle body) {
  py::dict members(body.attr("__dict__"));
  std::vector<py::object> recipe = unpack(members.attr("pop")(kClassRecipe), 2);
  py::object name = members.attr("pop")("__name__");
  py::object bases = recipe[0];
  // As types.new_class (and the class statement) do: resolve the bases, let
  // the metaclass prepare the namespace, fill it in order, create the class.
  py::module_ types = py::module_::import("types");
  py::object resolved = types.attr("resolve_bases")(bases);
  std::vector<py::object> prepared = unpack(types.attr("prepare_class")(name, resolved), 3);
  py::object meta = prepared[0];
  py::object ns = prepared[1];
  for (auto item : members) ns[item.first] = item.second;
  if (!resolved.is(bases)) ns["__orig_bases__"] = bases;
  py::object cell =
      members.contains("__classcell__") ? py::object(members["__classcell__"]) : py::object();
  py::object cls = meta(name, resolved, ns, **py::dict(prepared[2]));
  py::setattr(cls, "__doc__", recipe[1]);
  // Methods refer to their class weakly (see ClassRef).
  if (cell) cell.attr("cell_contents") = py::module_::import("weakref").attr("ref")(cls);
  g.set(PyUnicode_AsUTF8(name.ptr()), cls);
  return cls;
}

ClassRef class_ref(py::handle body) {
  py::object cell = getattr_or(body, "__classcell__", py::handle());
  if (!cell) {
    cell = py::module_::import("types").attr("CellType")();
    body.attr("__classcell__") = cell;
  }
  return ClassRef(cell);
}

py::object ClassRef::operator()() const {
  auto contents = py::reinterpret_steal<py::object>(PyCell_Get(cell_.ptr()));
  if (!contents) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
  }
  if (PyWeakref_CheckRef(contents.ptr())) return contents();
  return contents;
}

namespace detail {
int run_module_body(PyObject* module, void (*body)(py::module_&)) {
  try {
    auto m = py::reinterpret_borrow<py::module_>(module);
    body(m);
    return 0;
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  return -1;
}

py::object member_qualname(py::handle cls, py::handle name) {
  return concat({py::object(cls.attr("__qualname__")), ".", name});
}
}  // namespace detail

std::string mangled(py::handle cls, const char* name) {
  std::string class_name = str(cls.attr("__name__"));
  const size_t first = class_name.find_first_not_of('_');
  return "_" + class_name.substr(first == std::string::npos ? 0 : first) + name;
}

}  // namespace vorn::interop
