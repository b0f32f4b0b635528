// Login to the GRC service: a bearer token from the data platform's own
// authorisation endpoint, or from the cloud identity service, handed back as
// the headers every later GRC request sends.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

using interop::concat;
using interop::log_debug;
using interop::raise_exception;
using namespace py::literals;

constexpr const char* kConnectDoc = R"(Log in to Ledgora and return the headers of its requests.

The data-platform login is used when "lg_url" names a data-platform
installation ("hxd" in the URL), the cloud identity service otherwise.

Returns:
    dict: "Content-Type", "Accept" and "Authorization" (a bearer token).

Raises:
    TypeError: If "lg_url" is missing or not a string.
    Exception: If the login or the token request fails.)";

py::dict grc_request_headers(py::handle token) {
  py::dict headers;
  headers["Content-Type"] = "application/json";
  headers["Accept"] = "application/json";
  headers["Authorization"] = py::str("Bearer {0}").attr("format")(token);
  return headers;
}

// The platform's authorisation endpoint answers over HTTPS; on-premises
// installations commonly use self-signed certificates, so the certificate is
// not checked.
py::dict connect_with_hxd_credentials(const Globals& g, py::handle credentials) {
  log_debug(g, "Connecting to Ledgora using HXD credentials");
  py::object connection = g["http"].attr("client").attr("HTTPSConnection")(
      credentials.attr("get")("lg_hxd_host"),
      "context"_a = g["ssl"].attr("_create_unverified_context")(),
      "timeout"_a = grc::kRequestTimeout);

  py::dict login;
  login["username"] = credentials.attr("get")("lg_username");
  login["api_key"] = credentials.attr("get")("lg_hxd_apikey");
  py::object body = g["json"].attr("dumps")(login);
  py::dict headers;
  headers["content-type"] = "application/json";
  headers["cache-control"] = "no-cache";

  connection.attr("request")("POST", "/tarvex-api/v1/authorize", body, headers);
  py::object response = connection.attr("getresponse")();
  py::object data = response.attr("read")();
  py::object status = response.attr("status");
  if (interop::truthy(interop::compare(status, py::int_(200), Py_NE))) {
    py::str message = concat({"Unable to connect to Ledgora; error code:", status});
    log_debug(g, message);
    raise_exception(message);
  }
  log_debug(g, "Successfully connected to Ledgora");
  return grc_request_headers(g["json"].attr("loads")(data)["token"]);
}

py::dict connect_with_cloud_credentials(const Globals& g, py::handle credentials) {
  log_debug(g, "Attempting to connect to Ledgora using cloud credentials");
  py::object token_url = g["get_iam_url_from_lg_url"](credentials.attr("get")("lg_url"));
  if (token_url.is_none()) {
    const char* message = "Unable to determine IAM URL for the provided Ledgora URL";
    log_debug(g, message);
    raise_exception(message);
  }
  log_debug(g, concat({"Using IAM URL: ", token_url}));

  py::dict headers;
  headers["Content-Type"] = "application/x-www-form-urlencoded";
  headers["Cache-Control"] = "no-cache";
  py::dict form;
  form["apikey"] = credentials.attr("get")("lg_apikey");
  form["grant_type"] = "urn:vorn:params:oauth:grant-type:apikey";

  try {
    py::object response = g["requests"].attr("post")(
        token_url, "headers"_a = headers, "data"_a = form, "timeout"_a = grc::kRequestTimeout);
    response.attr("raise_for_status")();
    py::object access_token = response.attr("json")().attr("get")("access_token");
    if (!interop::truthy(access_token)) {
      const char* message = "Failed to retrieve access token from Vorn Cloud IAM";
      log_debug(g, message);
      raise_exception(message);
    }
    log_debug(g, "Successfully obtained access token from Vorn Cloud IAM");
    return grc_request_headers(access_token);
  } catch (py::error_already_set& error) {
    if (!error.matches(g["requests"].attr("exceptions").attr("RequestException"))) throw;
    const interop::Handling handling(error);
    py::str message = concat({"Failed to authenticate with Vorn Cloud IAM: ", error.value()});
    log_debug(g, message);
    raise_exception(message);
  }
}

py::dict connect_to_ledgora(const Globals& g, py::handle self) {
  py::object credentials = self.attr("system_credentials");
  py::object lg_url = credentials.attr("get")("lg_url");
  // The mode is read from the URL's text; without one there is nothing to
  // log in to.
  if (!PyUnicode_Check(lg_url.ptr())) {
    interop::raise(PyExc_TypeError,
                   concat({"\"lg_url\" of system_credentials must be a string to connect to "
                           "Ledgora, not ",
                           py::type::of(lg_url).attr("__name__")}));
  }
  if (grc::is_hxd_url(lg_url)) {
    return connect_with_hxd_credentials(g, credentials);
  }
  return connect_with_cloud_credentials(g, credentials);
}

}  // namespace

void define_grc_connection(const Globals& g, py::handle cls) {
  interop::def_method(cls, "connect_to_ledgora", kConnectDoc,
                      [g](py::object self) { return connect_to_ledgora(g, self); });
}

}  // namespace vorn::quorvane
