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

#include "common/function.hpp"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// The layer leans on pybind11 beyond its documented surface (the exception
// translation of its module boundary, py::arg / py::arg_v as parameter
// descriptions, error_already_set keeping the very exception object). Those
// were checked against pybind11 3; tests/packaging/test_pybind11_reliance.py
// checks them from Python. Re-check both before moving to another major.
static_assert(PYBIND11_VERSION_MAJOR == 3,
              "the interop layer was written and tested against pybind11 3.x");

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
// `from module import name`, performed by the interpreter itself (also when
// a function runs): the same lookups and fallbacks, and on failure the very
// ImportError the statement raises (message, `name` and `path`).
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
// str(value) as UTF-8, for the few places that need a C++ string (names,
// comparisons); lone surrogates come out backslash-escaped. Messages are
// built with concat() instead.
std::string str(py::handle value);
py::str pystr(py::handle value);                     // str(value), as a Python str
// A message built as Python code builds it: literal pieces and str() of
// values, joined as Python strings (never through a C++ string, so any text,
// lone surrogates included, comes out exactly as concatenation gives it).
// Pieces are evaluated left to right, so str() of a later value is not called
// when an earlier one raises.
class Piece {
 public:
  Piece(const char* literal);             // NOLINT: literals read naturally
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

// Raise an instance of the given Python exception class with a message: a
// literal of the source (UTF-8), or a Python str (a message built with
// concat()).
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, py::handle message);
[[noreturn]] void raise(py::handle type, const char* message);
[[noreturn]] void raise(py::handle type, py::handle message);
// Raise the built-in Exception class itself.
[[noreturn]] void raise_exception(const char* message);
[[noreturn]] void raise_exception(py::handle message);
[[noreturn]] void raise_value_error(const char* message);
[[noreturn]] void raise_value_error(py::handle message);
// `raise type(message)` inside the `except` block that caught `handled`: the
// new exception carries `handled` as its __context__, as Python chains it.
[[noreturn]] void raise_while_handling(const py::error_already_set& handled, PyObject* type,
                                       const char* message);
[[noreturn]] void raise_while_handling(const py::error_already_set& handled, PyObject* type,
                                       py::handle message);

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

// Log a line through the module global `logger`: a literal, or a Python str.
void log_debug(const Globals& g, const char* message);
void log_warning(const Globals& g, const char* message);
void log_error(const Globals& g, const char* message);
void log_debug(const Globals& g, py::handle message);
void log_warning(const Globals& g, py::handle message);
void log_error(const Globals& g, py::handle message);

// Run `body`; on an ordinary exception log `prefix + str(e)` at debug level
// and raise the very same exception object again.
template <typename Body>
auto logged_reraise(const Globals& g, const char* prefix, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (py::error_already_set& error) {
    if (!is_exception(error)) throw;
    {
      Handling handling(error);
      log_debug(g, concat({prefix, error.value()}));
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
//
// A class is built as the class statement builds it: its body first, then
// the class, created from the complete namespace, so that a base class sees
// every member (abstract methods, __init_subclass__). make_class hands out the
// body, which the def_* helpers and `body.attr(name) = value` fill;
// finish_class, at the end of the module's initialisation, creates the class
// and binds it as a module global. The body is not the class, and it does
// not outlive the module's initialisation: a method that needs its class when
// it runs takes a class_ref, never the body.

// The body of `class name(*bases)` with its docstring in the module.
// `init_signature` is the constructor's parameter list without self, e.g.
// "(a, b=None)": the class's own text signature.
py::object make_class(const Globals& g, const char* name, const char* doc,
                      const char* init_signature, py::tuple bases = py::tuple());

// Create the class from its body (through its metaclass, as the class
// statement does) and bind it as the module global of its name.
py::object finish_class(const Globals& g, py::handle body);

// What `__class__` is inside a method of the class: the class itself, once
// finish_class created it (None before, or once it no longer exists). Holds
// the class weakly, so that methods do not keep their own class alive.
class ClassRef {
 public:
  explicit ClassRef(py::object cell) : cell_(std::move(cell)) {}
  py::object operator()() const;

 private:
  py::object cell_;
};
ClassRef class_ref(py::handle body);

// "_Class__name": the stored name of a private member.
std::string mangled(py::handle cls, const char* name);

namespace detail {
// "Class.name", the __qualname__ of a member of the class.
py::object member_qualname(py::handle cls, py::handle name);
}  // namespace detail

// An instance method: `def name(self, ...)` in the class body; binds `self`
// on attribute access like a Python function. `extra` are the py::arg /
// py::arg_v items of the parameters after self, then any
// interop::annotation; `f` takes one py::object per parameter, self first.
template <typename Func, typename... Extra>
void def_method(py::handle cls, const std::string& name, const char* doc, Func&& f,
                const Extra&... extra) {
  py::str method_name(name);
  py::object fn = detail::make_function<true>(method_name,
                                              detail::member_qualname(cls, method_name),
                                              cls.attr("__module__"), doc,
                                              std::forward<Func>(f), extra...);
  py::setattr(cls, method_name, fn);
}

// A private method `__name` as the class statement stores it: under the
// mangled name (`_Class__name`), while the function keeps `__name` as its own
// name. Calls from C++ go through `self.attr(mangled(cls, "__name"))`, so a
// subclass or a substitute on the instance is honoured as in Python code.
template <typename Func, typename... Extra>
void def_private_method(py::handle cls, const char* name, const char* doc, Func&& f,
                        const Extra&... extra) {
  py::str method_name(name);
  py::object fn = detail::make_function<true>(method_name,
                                              detail::member_qualname(cls, method_name),
                                              cls.attr("__module__"), doc,
                                              std::forward<Func>(f), extra...);
  py::setattr(cls, mangled(cls, name).c_str(), fn);
}

// A static method: `name = staticmethod(<function>)`.
template <typename Func, typename... Extra>
void def_static(py::handle cls, const std::string& name, const char* doc, Func&& f,
                const Extra&... extra) {
  py::str method_name(name);
  py::object fn = detail::make_function<false>(method_name,
                                               detail::member_qualname(cls, method_name),
                                               cls.attr("__module__"), doc,
                                               std::forward<Func>(f), extra...);
  py::setattr(cls, method_name, py::staticmethod(fn));
}

// A property: `name = property(getter, setter)`, as `@property def name(self)`
// and `@name.setter def name(self, value)` make it.
template <typename Getter, typename Setter>
void def_property(py::handle cls, const char* name, const char* doc, Getter&& getter,
                  Setter&& setter) {
  py::str property_name(name);
  py::object qualname = detail::member_qualname(cls, property_name);
  py::object module = cls.attr("__module__");
  py::object fget = detail::make_function<true>(property_name, qualname, module, doc,
                                                std::forward<Getter>(getter));
  py::object fset = detail::make_function<true>(property_name, qualname, module, nullptr,
                                                std::forward<Setter>(setter), py::arg("value"));
  py::object property = py::module_::import("builtins").attr("property");
  py::setattr(cls, property_name, property(fget, fset, py::none(), py::str(doc)));
}

// A module-level function, bound as a global of the module.
template <typename Func, typename... Extra>
void def_function(const Globals& g, const char* name, const char* doc, Func&& f,
                  const Extra&... extra) {
  py::str function_name(name);
  py::object fn = detail::make_function<false>(function_name, function_name,
                                               g.dict()["__name__"], doc,
                                               std::forward<Func>(f), extra...);
  g.set(name, fn);
}

namespace detail {
// Run a module's initialisation; a failure leaves its own Python error set
// (-1), as the failing statement of a Python module would raise it.
int run_module_body(PyObject* module, void (*body)(py::module_&));
}  // namespace detail

// The entry point of an extension module, used like PYBIND11_MODULE:
//   VORN_INTEROP_MODULE(quorvane, m) { ...initialisation... }
// Unlike pybind11's, it does not replace an error of the initialisation (an
// ImportError of a dependency, say) with its own "initialization failed":
// importing the module raises the very error, as for a Python module.
#define VORN_INTEROP_MODULE(name, variable)                                                   \
  static void vorn_module_body_##name(::pybind11::module_&);                                  \
  static int vorn_module_exec_##name(PyObject* module) {                                      \
    return ::vorn::interop::detail::run_module_body(module, &vorn_module_body_##name);        \
  }                                                                                           \
  extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                      \
    static PyModuleDef_Slot slots[] = {                                                       \
        {Py_mod_exec, reinterpret_cast<void*>(&vorn_module_exec_##name)}, {0, nullptr}};      \
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr,       \
                                     slots, nullptr, nullptr, nullptr};                      \
    return PyModuleDef_Init(&definition);                                                     \
  }                                                                                           \
  static void vorn_module_body_##name(::pybind11::module_& variable)

// Call before any binding in a module's init: pybind11's generated signatures
// would otherwise fill the docstrings of the few pybind11 functions a module
// still makes (callbacks handed to other libraries).
struct ModuleOptions {
  ModuleOptions() { options_.disable_function_signatures(); }

 private:
  py::options options_;
};

}  // namespace vorn::interop
