#pragma once

#include <ostream>

#include "CalibrationSummary.h"
#include "CommandLine.h"

namespace ColorCalCli {

/// Result of one `calibrate` run.
struct CalibrateRun {
    int exitCode = 2;
    CalibrationSummary summary;
};

/// `colorcal calibrate`: reads the inputs, runs the engine, writes the
/// requested outputs and the JSON (to --json, else to `out` when `printJson`).
/// Exit code 0 or 1; input errors throw `UsageError`.
CalibrateRun runCalibrate(const CalibrateOptions& options, std::ostream& out, bool printJson);

/// `colorcal render`: writes a synthetic photo, its references and ground truth.
int runRender(const RenderCommandOptions& options, std::ostream& out);

/// `colorcal demo`: renders, calibrates with two encodings, prints the table.
int runDemo(const DemoOptions& options, std::ostream& out);

/// The whole tool: parses the arguments, runs the command, maps errors to
/// one line on standard error and the exit status (0, 1 or 2).
int runMain(int argc, char** argv);

}  // namespace ColorCalCli
