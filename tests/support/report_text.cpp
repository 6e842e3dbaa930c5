#include "support/report_text.h"

namespace tessel {

std::string structureReportTable(const ReportInput& input) {
  std::string report;
  writeStructureReportTable(input, [&](std::string_view text) { report += text; });
  return report;
}

std::string structureReportJson(const ReportInput& input) {
  std::string report;
  writeStructureReportJson(input, [&](std::string_view text) { report += text; });
  return report;
}

}  // namespace tessel
