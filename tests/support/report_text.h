// The structure report gathered into one string, for checks that look at it whole.
#pragma once

#include <string>

#include "hierarchy/structure_report.h"

namespace tessel {

std::string structureReportTable(const ReportInput& input);
std::string structureReportJson(const ReportInput& input);

}  // namespace tessel
