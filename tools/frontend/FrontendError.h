#pragma once

#include <stdexcept>

/// The code the command-line tool and the Python module share for using a
/// calibration: the calibration file, the photo correction, the batch over
/// photo files and the export to ICC profiles and .cube files. Every failure
/// it reports itself is a `FrontendError` whose message is one line, with
/// file names quoted and escaped; the tool prints it and exits with 2, the
/// module raises it as ValueError (or OSError for files).
namespace ColorCalFrontend {

/// A calibration file, photo, argument or output that cannot be used; the
/// message says which and why, on one line.
class FrontendError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace ColorCalFrontend
