#pragma once

#include <ostream>
#include <string>

#include "CommandLine.h"

namespace ColorCalCli {

/// `colorcal apply`: corrects the photos with the calibration file (and the
/// white image), in parallel; prints a progress bar on standard error when
/// it is a terminal (not with --quiet), one error line per photo that
/// failed and a summary line on `out`. Returns 0 when every photo was
/// corrected, 1 when some failed; problems with the calibration, the white
/// image or the outputs throw `UsageError` before any photo is read.
int runApply(const ApplyOptions& options, std::ostream& out);

/// `colorcal export`: writes the calibration file's colour part as an ICC
/// profile and/or a .cube 3D LUT. Returns 0; problems throw `UsageError`.
int runExport(const ExportOptions& options, std::ostream& out);

/// Writes the ICC profile (`icc`, when not empty) and the .cube file
/// (`cube`, when not empty) of a calibration given as the JSON `calibrate`
/// writes. Throws `UsageError` naming the file that could not be written.
void writeCalibrationExports(const std::string& calibrationJson, const std::string& icc,
                             const std::string& cube, int cubeSize);

}  // namespace ColorCalCli
