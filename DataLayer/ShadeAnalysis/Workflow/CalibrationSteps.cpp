#include "DataLayer/ShadeAnalysis/Workflow/CalibrationSteps.h"

#include <algorithm>
#include <string>
#include <utility>

#include "DataLayer/ShadeAnalysis/Calibration/ExternalWhite.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"

namespace DataLayer {

namespace {

// Where the engine's log records say they come from: hosts filter by them.
constexpr const char* kLogFile = "DataLayer/ShadeAnalysis/CColorCalibration";
constexpr const char* kLogFunction = "DataLayer::CColorCalibration::startColorCalibration";

CalibrationError makeFailure(CalibrationFailure code, std::wstring message) {
    CalibrationError error;
    error.code = code;
    error.message = std::move(message);
    return error;
}

void logWarning(CalibrationWarning warning, const wchar_t* message) {
    Logging::CLogger& logger = ColorCalibrationLogger();
    if (logger.IsLogLevelEnabled(Logging::eWarning)) {
        logger.Log(Logging::eWarning, kLogFile, reportedLine(warning), kLogFunction, L"%ls",
                   message);
    }
}

}  // namespace

CalibrationError checkReferenceColours(const std::array<std::array<float, 3>, 20>& colours) {
    const bool allZero = std::all_of(colours.begin(), colours.end(), [](const auto& c) {
        return c[0] == 0.0f && c[1] == 0.0f && c[2] == 0.0f;
    });
    if (allZero) {
        return makeFailure(CalibrationFailure::eReferencesNotSet,
                           L"reference colours are not set (all zero)");
    }
    if (std::all_of(colours.begin(), colours.end(),
                    [&colours](const auto& c) { return c == colours[0]; })) {
        return makeFailure(
            CalibrationFailure::eReferencesEqual,
            L"all " + std::to_wstring(colours.size()) + L" reference colours are equal");
    }
    return CalibrationError{};
}

CalibrationError takeExternalWhite(const Base::IParameterSetColorCalibrationTarget& parameters,
                                   const Base::IImageData2D* host, cv::Mat& white, bool shared) {
    if (!parameters.IsUseExternalWhiteImg()) {
        return CalibrationError{};
    }
    if (host == nullptr) {
        return makeFailure(CalibrationFailure::eMissingExternalWhite,
                           L"missing external white image");
    }
    // An unusable host image is reported (the table has it not stop the
    // run); the estimated white stays, and so do pixels others hold.
    cv::Mat external = shared ? cv::Mat(white.size(), white.type()) : white;
    switch (copyExternalWhite(*host, external)) {
        case ExternalWhiteOutcome::eCopied:
            white = external;
            break;
        case ExternalWhiteOutcome::eNoPixels:
            logCalibrationFailure(makeFailure(CalibrationFailure::eExternalWhiteWithoutPixels,
                                              L"external white image has no pixel data"));
            break;
        case ExternalWhiteOutcome::eUnusable:
            logCalibrationFailure(makeFailure(CalibrationFailure::eExternalWhiteUnusable,
                                              L"invalid size of external white image"));
            break;
    }
    return CalibrationError{};
}

void logCalibrationFailure(const CalibrationError& error) {
    Logging::CLogger& logger = ColorCalibrationLogger();
    if (logger.IsLogLevelEnabled(Logging::eError)) {
        logger.Error(kLogFile, reportedLine(error.code), kLogFunction, L"%ls",
                     error.message.c_str());
    }
}

void logPairingWarning(int orientation) {
    if (orientation == 180) {
        logWarning(CalibrationWarning::eChartUpsideDown,
                   L"the chart lies upside down: its patches are paired with the references in "
                   L"reverse order");
    } else if (orientation == 90 || orientation == 270) {
        logWarning(CalibrationWarning::eChartQuarterTurn,
                   orientation == 90
                       ? L"the chart lies turned a quarter clockwise: its patches are paired "
                         L"with the references accordingly"
                       : L"the chart lies turned a quarter counter-clockwise: its patches are "
                         L"paired with the references accordingly");
    }
}

}  // namespace DataLayer
