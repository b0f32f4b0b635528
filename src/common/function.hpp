// Functions of the extension modules, as Python code sees them.
//
// A function here is an object of our own small function type: it binds its
// arguments exactly as a Python function does (positional, keyword, defaults,
// and CPython's own TypeError texts when the call does not fit, without ever
// calling repr() on an argument), binds `self` on attribute access like a
// Python function, has writable __name__, __qualname__, __module__, __doc__,
// __annotations__ and a __dict__, and gives inspect.signature() its
// parameters through __text_signature__ (or, when annotated, __signature__).
// A py::kw_only() among the parameters makes those after it keyword-only
// (`def f(a, *, b=1)`); keyword-only parameters need a default.
// The C++ body receives one py::object per parameter, in order.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorn::interop {

namespace py = pybind11;

// `def f(name: value)`: the annotation of a parameter (or of "return"),
// given after the py::arg annotations of a def_* call.
struct annotation {
  annotation(const char* name, py::object value) : name(name), value(std::move(value)) {}
  const char* name;
  py::object value;
};

namespace detail {

// The C++ side of a function: gets the bound arguments, one per parameter.
class Body {
 public:
  virtual ~Body() = default;
  virtual py::object call(PyObject* const* arguments) = 0;
};

// The parameters of a function in declaration order: the positional ones,
// then the keyword-only ones; the defaults of the trailing positional ones
// followed by those of the keyword-only ones (and the text the signature
// shows for each), annotations.
class ParameterList {
 public:
  void add(const py::arg& parameter);
  void add(const py::arg_v& parameter);
  void add(const py::kw_only&);
  void add(const annotation& item);

  size_t positional_count() const {
    return keyword_only_from < 0 ? names.size() : static_cast<size_t>(keyword_only_from);
  }

  std::vector<py::object> names;          // interned str
  std::vector<py::object> defaults;       // for the last defaults.size() names
  std::vector<py::object> default_texts;  // str, as the signature writes them
  py::dict annotations;
  long keyword_only_from = -1;            // index of the first keyword-only name
};

// A new function object; `module` becomes __module__, `doc` (may be null)
// __doc__.
py::object new_function(std::unique_ptr<Body> body, const ParameterList& parameters,
                        py::handle name, py::handle qualname, py::handle module,
                        const char* doc);

template <typename T>
struct callable_traits : callable_traits<decltype(&T::operator())> {};
template <typename R, typename... A>
struct callable_traits<R (*)(A...)> {
  using result = R;
  using arguments = std::tuple<std::decay_t<A>...>;
  static constexpr size_t arity = sizeof...(A);
};
template <typename R, typename... A>
struct callable_traits<R (*)(A...) noexcept> : callable_traits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct callable_traits<R (C::*)(A...) const> : callable_traits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct callable_traits<R (C::*)(A...)> : callable_traits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct callable_traits<R (C::*)(A...) const noexcept> : callable_traits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct callable_traits<R (C::*)(A...) noexcept> : callable_traits<R (*)(A...)> {};

template <typename T>
inline constexpr bool is_parameter_item =
    std::is_base_of_v<py::arg, T> || std::is_same_v<T, annotation> ||
    std::is_same_v<T, py::kw_only>;
template <typename... Extra>
inline constexpr size_t parameter_count = (size_t{0} + ... + (std::is_base_of_v<py::arg, Extra> ? 1 : 0));

template <typename T>
T argument_as(PyObject* value) {
  static_assert(std::is_same_v<T, py::object> || std::is_same_v<T, py::handle>,
                "parameters of the C++ body of a function are py::object (or py::handle)");
  if constexpr (std::is_same_v<T, py::handle>) {
    return py::handle(value);
  } else {
    return py::reinterpret_borrow<py::object>(value);
  }
}

template <typename R>
py::object result_of(R&& value) {
  if constexpr (std::is_base_of_v<py::handle, std::decay_t<R>>) {
    return py::reinterpret_borrow<py::object>(value);
  } else if constexpr (std::is_convertible_v<R, py::object>) {
    return py::object(std::forward<R>(value));  // an attribute or item accessor
  } else {
    return py::cast(std::forward<R>(value));
  }
}

template <typename Func>
class CallableBody final : public Body {
  using traits = callable_traits<Func>;

 public:
  explicit CallableBody(Func f) : f_(std::move(f)) {}
  py::object call(PyObject* const* arguments) override {
    return invoke(arguments, std::make_index_sequence<traits::arity>());
  }

 private:
  template <size_t... I>
  py::object invoke(PyObject* const* arguments, std::index_sequence<I...>) {
    using Arguments = typename traits::arguments;
    if constexpr (std::is_void_v<typename traits::result>) {
      f_(argument_as<std::tuple_element_t<I, Arguments>>(arguments[I])...);
      return py::none();
    } else {
      return result_of(f_(argument_as<std::tuple_element_t<I, Arguments>>(arguments[I])...));
    }
  }

  Func f_;
};

// A function whose parameters are `self` (when WithSelf) followed by the
// py::arg / py::arg_v items of `extra`; `f` takes one py::object for each.
template <bool WithSelf, typename Func, typename... Extra>
py::object make_function(py::handle name, py::handle qualname, py::handle module,
                         const char* doc, Func&& f, const Extra&... extra) {
  using F = std::decay_t<Func>;
  static_assert((is_parameter_item<Extra> && ...),
                "after the C++ function come only py::arg, py::arg_v, py::kw_only and "
                "interop::annotation");
  static_assert(callable_traits<F>::arity == (WithSelf ? 1 : 0) + parameter_count<Extra...>,
                "the C++ function takes one argument per parameter (self included)");
  ParameterList parameters;
  if constexpr (WithSelf) parameters.add(py::arg("self"));
  (parameters.add(extra), ...);
  return new_function(std::make_unique<CallableBody<F>>(std::forward<Func>(f)), parameters, name,
                      qualname, module, doc);
}

}  // namespace detail
}  // namespace vorn::interop
