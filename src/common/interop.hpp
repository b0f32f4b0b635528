// Python interop shared by the extension modules.
//
// The modules behave like Python modules: their classes are ordinary Python
// classes whose methods happen to be C++, every outside name is read from the
// module's globals at the moment of use (so callers and tests can substitute
// it), and every failure reaches Python as the Python exception it stands for.
// Everything that pattern needs lives here, so each module's sources read like
// the algorithm they implement.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/detail/exception_translation.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace vorn::interop {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Module namespace

// The namespace of one extension module. Lookups happen on every use and fall
// back to the builtins, exactly like a global name in Python code. Holding the
// dict (not a C++ static) keeps it alive for as long as any function of the
// module is, and visible to the garbage collector through the module.
class Globals {
 public:
  explicit Globals(const py::module_& module);

  // The current value of a global (or builtin); NameError when neither has it.
  py::object operator[](const char* name) const;
  void set(const char* name, py::handle value) const;
  const py::dict& dict() const { return ns_; }
  std::string module_name() const;

 private:
  py::dict ns_;
};

// `import module` / `import module as alias`.
void import_module(const Globals& g, const char* module, const char* as = nullptr);
// `from module import name[, ...]`.
void import_from(const Globals& g, const char* module,
                 std::initializer_list<const char*> names);
// `from module import name as alias`.
void import_from_as(const Globals& g, const char* module, const char* name,
                    const char* alias);
// `from module import name` executed when a function runs, through
// sys.modules, with Python's ImportError when the name is missing.
py::object import_now(const char* module, const char* name);

// ---------------------------------------------------------------------------
// Python semantics the C++ must not approximate

bool truthy(py::handle value);                      // bool(value)
bool isinstance(py::handle value, py::handle type);  // isinstance(value, type)
bool isinstance(py::handle value, PyObject* type);
// isinstance(value, builtin_type) for a built-in class such as float or list,
// without the __class__ lookup when the value's own type is built in (its
// __class__ cannot be overridden then).
bool isinstance_of(py::handle value, PyTypeObject* builtin_type);
bool is_none(py::handle value);
bool callable(py::handle value);
bool contains(py::handle container, py::handle item);  // item in container
// `a == b`, `a < b`, ... (op is Py_EQ, Py_LT, ...) as Python evaluates it:
// the result object, reflected operations and NotImplemented handled, no
// identity shortcut (a NaN is not equal to itself).
py::object compare(py::handle a, py::handle b, int op);
std::string str(py::handle value);                   // str(value)
py::str pystr(py::handle value);                     // str(value), as a Python str
std::string repr(py::handle value);
// A message built as Python code builds it: literal pieces and str() of
// values, joined as Python strings (never through a C++ string, so any text,
// lone surrogates included, comes out exactly as concatenation gives it).
// Pieces are evaluated left to right, so str() of a later value is not called
// when an earlier one raises.
class Piece {
 public:
  Piece(const char* literal);             // NOLINT: literals read naturally
  Piece(const std::string& literal);      // NOLINT
  Piece(py::handle value);                // NOLINT: str(value)
  template <typename Policy>
  Piece(const py::detail::accessor<Policy>& value)  // NOLINT: str(obj.attr / obj[key])
      : Piece(py::handle(py::object(value))) {}
  const py::object& text() const { return text_; }

 private:
  py::object text_;
};
py::str concat(std::initializer_list<Piece> pieces);

// getattr(obj, name, fallback): only AttributeError selects the fallback;
// any other error raised while reading the attribute propagates. A null
// fallback (py::handle()) gives an empty object, for callers that must tell a
// missing attribute apart from any value it could hold.
py::object getattr_or(py::handle obj, const char* name, py::handle fallback);

// ---------------------------------------------------------------------------
// Exceptions

// Raise an instance of the given Python exception class with a message.
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] void raise(py::handle type, const std::string& message);
// Raise the built-in Exception class itself.
[[noreturn]] void raise_exception(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);
// The same, with a message that is already a Python str.
[[noreturn]] void raise(PyObject* type, py::handle message);
[[noreturn]] void raise_exception(py::handle message);
[[noreturn]] void raise_value_error(py::handle message);
// `raise type(message)` inside the `except` block that caught `handled`: the
// new exception carries `handled` as its __context__, as Python chains it.
[[noreturn]] void raise_while_handling(const py::error_already_set& handled, PyObject* type,
                                       const std::string& message);

// True for errors that `except Exception` would catch; KeyboardInterrupt and
// SystemExit are not, and must pass through untouched.
bool is_exception(const py::error_already_set& error);

// Inside a C++ `catch` that stands for `except ... as e:`, an instance of
// this marks `error` as the exception being handled until the end of the
// block, as Python does for the body of an except clause: sys.exc_info()
// returns it, and an exception raised meanwhile gets it as __context__. The
// exception handled before is restored at the end of the block.
class Handling {
 public:
  explicit Handling(const py::error_already_set& error);
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* saved_type_ = nullptr;
  PyObject* saved_value_ = nullptr;
  PyObject* saved_trace_ = nullptr;
};

// Run `body` so that whatever it throws is a py::error_already_set: a C++
// exception that stands for a Python one (pybind11's cast and builtin errors,
// std::bad_alloc, ...) becomes that Python exception, translated as it would
// be at the module boundary. Lets a handler that catches Python exceptions
// see every failure of the body.
template <typename Body>
auto as_python_errors(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (py::error_already_set&) {
    throw;
  } catch (...) {
    py::detail::try_translate_exceptions();
    throw py::error_already_set();
  }
}

// `a, b, ... = value` with exactly `count` targets: the items in order, or
// Python's own ValueError/TypeError when there are more, fewer or none.
std::vector<py::object> unpack(py::handle value, size_t count);

// type(manager).<name>, or the TypeError of a `with` on an object without it.
py::object context_method(py::handle manager, const char* name);

// `with manager as entered: body(entered)`: __exit__ always runs; when the
// body fails it gets the exception and may suppress it (the result is then an
// empty object).
template <typename Body>
py::object with_context(py::handle manager, Body&& body) {
  // As the statement does: __enter__ and __exit__ come from the type.
  py::object enter = context_method(manager, "__enter__");
  py::object exit = context_method(manager, "__exit__");
  py::object entered = enter(manager);
  py::object result;
  try {
    result = as_python_errors([&] { return py::object(body(entered)); });
  } catch (py::error_already_set& error) {
    Handling handling(error);
    // An error raised from C++ carries no traceback yet; __exit__ gets None then.
    py::object trace = error.trace() ? py::reinterpret_borrow<py::object>(error.trace())
                                     : py::object(py::none());
    py::object suppress = exit(manager, error.type(), error.value(), trace);
    if (!truthy(suppress)) throw;
    return py::object();
  }
  exit(manager, py::none(), py::none(), py::none());
  return result;
}

// Whether the module global `name` is still the module `module` of
// sys.modules, i.e. nobody substituted it. Fast paths that stand in for a
// module's function take this as their permission.
bool global_is_module(const Globals& g, const char* name, const char* module);
// Whether the global `name` of the module (or the builtin of that name) is
// still `module.attribute`, e.g. global_is(g, "round", "builtins", "round").
bool global_is(const Globals& g, const char* name, const char* module, const char* attribute);

// Log a debug line through the module global `logger`.
void log_debug(const Globals& g, const std::string& message);
void log_warning(const Globals& g, const std::string& message);
void log_error(const Globals& g, const std::string& message);
void log_debug(const Globals& g, py::handle message);
void log_warning(const Globals& g, py::handle message);
void log_error(const Globals& g, py::handle message);

// Run `body`; on an ordinary exception log `prefix + str(e)` at debug level
// and raise the very same exception object again.
template <typename Body>
auto logged_reraise(const Globals& g, const std::string& prefix, Body&& body)
    -> decltype(body()) {
  try {
    return body();
  } catch (py::error_already_set& error) {
    if (!is_exception(error)) throw;
    {
      Handling handling(error);
      log_debug(g, prefix + str(error.value()));
    }
    throw;
  }
}

// print(...) through the module's `print` (the builtin unless substituted).
template <typename... Args>
void print(const Globals& g, Args&&... args) {
  g["print"](std::forward<Args>(args)...);
}

// ---------------------------------------------------------------------------
// Classes and their members

// Build `class name(*bases)` with its docstring in the module, as the class
// statement would, and bind it as a module global. `init_signature` is the
// constructor's parameter list without self, e.g. "(a, b=None)"; it gives the
// class the signature that inspect.signature() and help() show.
py::object make_class(const Globals& g, const char* name, const char* doc,
                      const char* init_signature, py::tuple bases = py::tuple());

// "_Class__name": the stored name of a private member.
std::string mangled(py::handle cls, const char* name);

namespace detail {
// The parameter list of a Python-style signature, built from pybind11's own
// argument annotations so that the two can never disagree.
inline void append_param(std::string& out, const py::arg_v& a);
inline void append_param(std::string& out, const py::arg& a);
template <typename T>
void append_param(std::string&, const T&) {}

inline void append_param(std::string& out, const py::arg& a) {
  if (out.back() != '(') out += ", ";
  out += a.name;
}
inline void append_param(std::string& out, const py::arg_v& a) {
  if (out.back() != '(') out += ", ";
  out += a.name;
  out += "=";
  // A default without a literal form (an enum member, say) is written as the
  // expression naming it, given as the annotation's description, e.g.
  // py::arg_v("mode", Mode.FAST, "Mode.FAST"); inspect resolves such names
  // through the module's globals.
  out += a.descr != nullptr ? std::string(a.descr) : ::vorn::interop::repr(a.value);
}

// pybind11 treats any function named __init__ as the constructor of one of
// its own classes; ours are plain Python classes, so __init__ is an ordinary
// method that sets attributes on an existing instance.
void as_plain_method(const py::cpp_function& method);

// "name(self, a, b=None)\n--\n\n" + doc: CPython reads the header as the
// function's __text_signature__ and leaves __doc__ as the text after it.
template <typename... Extra>
std::string signed_doc(const char* name, bool with_self, const char* doc,
                       const Extra&... extra) {
  std::string header = std::string(name) + "(";
  if (with_self) header += "self";
  (append_param(header, extra), ...);
  return header + ")\n--\n\n" + doc;
}
}  // namespace detail

// An instance method: `cls.name = <C++ function>`; binds `self` on attribute
// access like a Python function. `extra` are the py::arg annotations.
template <typename Func, typename... Extra>
void def_method(py::handle cls, const std::string& name, const char* doc, Func&& f,
                const Extra&... extra) {
  const std::string text = detail::signed_doc(name.c_str(), true, doc, extra...);
  py::cpp_function fn(std::forward<Func>(f), py::name(name.c_str()),
                      py::is_method(cls), extra..., text.c_str());
  detail::as_plain_method(fn);
  py::setattr(cls, name.c_str(), fn);
}

// A private method `__name` as the class statement stores it: under the
// mangled name (`_Class__name`), while the function keeps `__name` as its own
// name. Calls from C++ go through `self.attr(mangled(cls, "__name"))`, so a
// subclass or a substitute on the instance is honoured as in Python code.
template <typename Func, typename... Extra>
void def_private_method(py::handle cls, const char* name, const char* doc, Func&& f,
                        const Extra&... extra) {
  const std::string text = detail::signed_doc(name, true, doc, extra...);
  py::cpp_function fn(std::forward<Func>(f), py::name(name), py::is_method(cls), extra...,
                      text.c_str());
  py::setattr(cls, mangled(cls, name).c_str(), fn);
}

// A static method: `name = staticmethod(<C++ function>)`.
template <typename Func, typename... Extra>
void def_static(py::handle cls, const std::string& name, const char* doc, Func&& f,
                const Extra&... extra) {
  const std::string text = detail::signed_doc(name.c_str(), false, doc, extra...);
  py::cpp_function fn(std::forward<Func>(f), py::name(name.c_str()), extra...,
                      text.c_str());
  py::setattr(cls, name.c_str(), py::staticmethod(fn));
}

// A property: `name = property(getter, setter)`; getter(self) and
// setter(self, value) are plain callables, as property() expects.
template <typename Getter, typename Setter>
void def_property(py::handle cls, const char* name, const char* doc, Getter&& getter,
                  Setter&& setter) {
  py::cpp_function fget(std::forward<Getter>(getter), py::name(name), py::arg("self"));
  py::cpp_function fset(std::forward<Setter>(setter), py::name(name), py::arg("self"),
                        py::arg("value"));
  py::object property = py::module_::import("builtins").attr("property");
  py::setattr(cls, name, property(fget, fset, py::none(), py::str(doc)));
}

// A module-level function, bound as a global of the module.
template <typename Func, typename... Extra>
void def_function(const Globals& g, const char* name, const char* doc, Func&& f,
                  const Extra&... extra) {
  const std::string text = detail::signed_doc(name, false, doc, extra...);
  py::cpp_function fn(std::forward<Func>(f), py::name(name), extra..., text.c_str());
  fn.attr("__module__") = g.module_name();
  g.set(name, fn);
}

// Call before any binding in a module's init: pybind11's generated signatures
// would otherwise replace the Python-style header that signed_doc writes.
struct ModuleOptions {
  ModuleOptions() { options_.disable_function_signatures(); }

 private:
  py::options options_;
};

}  // namespace vorn::interop
