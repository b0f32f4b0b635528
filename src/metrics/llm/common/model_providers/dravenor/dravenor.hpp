// Module dravenor: a model provider that generates responses of foundation
// models through the Vorn Orvia AI inference client.
//
// The inference client is optional for the module: it is imported when a
// method runs, never at module load, so the module imports without it.
#pragma once

#include "common/interop.hpp"

namespace vorn::dravenor {

namespace py = pybind11;
using interop::Globals;

// What callers see when the inference client cannot be imported.
inline constexpr const char* kInstallMessage =
    "Please install vorn_orvia_ai package using pip install";

// `from <module> import <name>` at call time; any failure of the import
// becomes Exception(kInstallMessage), chained to the original error.
py::object import_sdk(const char* module, const char* name);

// The class Dravenor (its body): constructor, validation and client construction.
py::object define_provider(const Globals& g);
// The response methods: model, paraphrase (with retries) and judge responses.
void define_responses(const Globals& g, py::handle cls);

}  // namespace vorn::dravenor
