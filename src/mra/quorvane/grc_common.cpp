// What every GRC request shares: the choice between the data-platform and the
// cloud installation, and the base URL without its trailing slashes.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane::grc {

bool is_hxd_url(py::handle lg_url) {
  return interop::contains(lg_url.attr("lower")(), py::str("hxd"));
}

bool verifies_certificates(py::handle lg_url) { return !is_hxd_url(lg_url); }

py::object without_trailing_slashes(py::handle lg_url) {
  return lg_url.attr("rstrip")("/");
}

}  // namespace vorn::quorvane::grc
