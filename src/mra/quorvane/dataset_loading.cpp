// Loading a card's test split through the benchmark library: first with the
// working directory set to this module's directory, then from the directory
// that was current on entry. A load that fails twice gives an empty result;
// the working directory is restored on every way out.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;

// The module global holding the lock that serialises dataset loads.
constexpr const char* kLoadLock = "_working_directory_lock";

constexpr const char* kLoadDatasetWithFallbackDoc = R"(Attempt to load the dataset from the script directory,
if it fails, try from the current working directory.

Args:
    card (str): The name of the card to load the dataset from.
    max_sample_size (int): Maximum number of test instances.

Returns:
    dict: The dataset loaded from the specified card.)";

// The card's recipe when the catalogue has one (it fixes its own settings),
// else the card by name with the caller's sample size.
py::object load_data(const Globals& g, py::handle card, py::handle max_sample_size) {
  using namespace py::literals;
  py::object recipe = g["risk_to_cards"].attr("get_recipe_for_card")(card);
  if (interop::truthy(recipe)) return g["load_dataset"](recipe, "split"_a = "test");
  return g["load_dataset"]("card"_a = card, "max_test_instances"_a = max_sample_size,
                           "split"_a = "test");
}

py::object load_with_fallback(const Globals& g, py::handle card, py::handle max_sample_size,
                              py::handle org_working_dir) {
  try {
    return interop::as_python_errors([&] {
      py::object os = g["os"];
      py::object script_dir =
          os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(g["__file__"]));
      os.attr("chdir")(script_dir);
      return load_data(g, card, max_sample_size);
    });
  } catch (py::error_already_set& first) {
    if (!interop::is_exception(first)) throw;
    interop::Handling handling(first);
    interop::log_debug(g, concat({"Failed to load the dataset from the script directory: ",
                                  first.value(),
                                  ". Attempting to load data from the current working "
                                  "directory."}));
    try {
      return interop::as_python_errors([&] {
        g["os"].attr("chdir")(org_working_dir);
        return load_data(g, card, max_sample_size);
      });
    } catch (py::error_already_set& second) {
      if (!interop::is_exception(second)) throw;
      interop::Handling nested(second);
      interop::log_debug(g, concat({"Failed to load the dataset from the current working "
                                    "directory: ",
                                    second.value(), "."}));
      return py::dict();
    }
  }
}

py::object load_restoring_directory(const Globals& g, py::handle card,
                                    py::handle max_sample_size) {
  py::object org_working_dir = g["os"].attr("getcwd")();
  py::object dataset;
  try {
    dataset = interop::as_python_errors(
        [&] { return load_with_fallback(g, card, max_sample_size, org_working_dir); });
  } catch (py::error_already_set& error) {
    // Whatever escapes (an interrupt, a failing log call) leaves the
    // directory as it found it; a failure to restore it is chained to it.
    interop::Handling handling(error);
    g["os"].attr("chdir")(org_working_dir);
    throw;
  }
  g["os"].attr("chdir")(org_working_dir);
  return dataset;
}

// The working directory is the process's: two loads at once would each
// restore what the other set, and could leave the process in this module's
// directory for good. Loads wait for one another on a lock of the module
// (a Python lock, so a waiting thread releases the GIL).
py::object load_dataset_with_fallback(const Globals& g, py::handle card,
                                      py::handle max_sample_size) {
  py::object dataset = interop::with_context(g[kLoadLock], [&](py::handle) {
    return load_restoring_directory(g, card, max_sample_size);
  });
  // Only a substituted lock can swallow an error; the function then gives
  // None, as the with statement would.
  return dataset ? dataset : py::none();
}

}  // namespace

void define_dataset_loading(const Globals& g) {
  // Reentrant, so a load that loads another card in its course cannot
  // deadlock on itself.
  g.set(kLoadLock, py::module_::import("threading").attr("RLock")());
  interop::def_function(
      g, "load_dataset_with_fallback", kLoadDatasetWithFallbackDoc,
      [g](py::object card, py::object max_sample_size) {
        return load_dataset_with_fallback(g, card, max_sample_size);
      },
      py::arg("card"), py::arg("max_sample_size"));
}

}  // namespace vorn::quorvane
