// The PDF report: the report's metadata and executive summary, handed with
// the caller's results to the evaluator's PDF generator, which draws and
// writes the file.
#include "mra/quorvane/quorvane.hpp"

namespace vorn::quorvane {

namespace {

constexpr const char* kGetPdfReportDoc = R"(Generates a PDF report based on the provided score and thresholds.

Args:
    score_with_margin (dict): The evaluation metrics, as calculate_score_with_margin
        returns them.
    output_path (str): The path to save the generated PDF.
    user_custom_percentile_thresholds (tuple): (lower_threshold, upper_threshold).

Returns:
    str: The path to the generated PDF report.)";

constexpr const char* kBuildReportDetailsDoc =
    "Constructs and returns the metadata for the PDF report.";

constexpr const char* kNotProvided = "<Not Provided>";

py::dict build_report_details(const Globals& g, py::object self) {
  // Dates come from the module's datetime names, read now, so that a caller
  // (or a test) can substitute the clock.
  py::object utc_date = g["datetime"]
                            .attr("now")(g["timezone"].attr("utc"))
                            .attr("strftime")("%m/%d/%Y %H:%M:%S UTC");
  py::object report_date = g["date"].attr("today")().attr("strftime")("%B %d, %Y");

  py::object foundation_model_name = self.attr("foundation_model_name");
  if (!interop::truthy(foundation_model_name)) {
    interop::raise_value_error("Foundation Model Name is required to generate the PDF report.");
  }
  // The default stands only for an absent key; a key present with None keeps None.
  py::object credentials = self.attr("system_credentials");
  auto credential = [&](const char* key) {
    return credentials.attr("get")(key, kNotProvided);
  };
  py::dict details;
  details["Foundation Model Name"] = foundation_model_name;
  details["Governance console (Ledgora) Model ID"] = credential("lg_model_id");
  details["Project ID"] = credential("orvia_ai_project_id");
  details["Report generated on"] = report_date;
  details["utc_date"] = utc_date;
  return details;
}

py::object get_pdf_report(const Globals& g, py::object self, py::object score_with_margin,
                          py::object output_path,
                          py::object user_custom_percentile_thresholds) {
  py::object report_details = self.attr("_build_report_details")();
  py::object executive_summary_data = g["get_executive_summary"](score_with_margin);
  using namespace py::literals;
  return self.attr("pdf_generator")
      .attr("download_pdf")("output_path"_a = output_path,
                            "score_with_margin"_a = score_with_margin,
                            "report_details"_a = report_details,
                            "executive_summary_data"_a = executive_summary_data,
                            "user_custom_percentile_thresholds"_a =
                                user_custom_percentile_thresholds);
}

}  // namespace

void define_report(const Globals& g, py::handle cls) {
  interop::def_method(
      cls, "get_pdf_report", kGetPdfReportDoc,
      [g](py::object self, py::object score_with_margin, py::object output_path,
          py::object user_custom_percentile_thresholds) {
        return get_pdf_report(g, self, score_with_margin, output_path,
                              user_custom_percentile_thresholds);
      },
      py::arg("score_with_margin"), py::arg("output_path"),
      py::arg("user_custom_percentile_thresholds"));

  interop::def_method(
      cls, "_build_report_details", kBuildReportDetailsDoc,
      [g](py::object self) { return build_report_details(g, self); });
}

}  // namespace vorn::quorvane
