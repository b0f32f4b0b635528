// Module quorvane: the risk evaluator class and its module-level functions.
#pragma once

#include "common/interop.hpp"

namespace vorn::quorvane {

namespace py = pybind11;
using interop::Globals;

// The class Quorvane: construction, validation and default scoring.
void define_evaluator(const Globals& g);
// get_available_risks and check_if_all_risks_are_evaluated.
void define_risk_catalogue_functions(const Globals& g);

}  // namespace vorn::quorvane
