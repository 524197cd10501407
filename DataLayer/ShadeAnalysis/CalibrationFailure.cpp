// The one table of how the engine reports a failed calibration.
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"

#include <array>
#include <cstdarg>

#include "Base/Logging/WideFormat.h"
#include "DataLayer/ShadeAnalysis/FailureMessage.h"

namespace DataLayer {

namespace {

using F = CalibrationFailure;

constexpr const char* kNoHint = "";

// Every failure code once. The lines are those hosts have always seen in the
// engine's log records; 0 for a code the engine does not log.
constexpr std::array<FailureReport, 31> kReports = {{
    {F::eNone, 0, false, kNoHint},
    {F::eReferencesNotSet, 436, true, "the chart's 20 reference colours were not given"},
    {F::eReferencesEqual, 437, true,
     "the reference colours must be the chart's 20 patch colours, which differ"},
    {F::eInvalidImageArguments, 440, true, kNoHint},
    {F::eMissingParameterSet, 445, true, kNoHint},
    {F::eWhiteEstimateFailed, 450, true,
     "the chart's white ground may be covered, cut off by the region or excluded by the "
     "support mask"},
    {F::eMissingExternalWhite, 462, true, "this chart type needs an external white image"},
    {F::eExternalWhiteWithoutPixels, 470, false, kNoHint},
    {F::eExternalWhiteUnusable, 480, false, kNoHint},
    {F::eRegionOutsideWhite, 490, true, kNoHint},
    {F::eLabelSize, 492, true, kNoHint},
    {F::eTooManySeeds, 494, true, kNoHint},
    {F::eTooFewSeeds, 495, true, kNoHint},
    {F::eSeedOutside, 496, true, kNoHint},
    {F::eSeedNotOnPatch, 497, true, kNoHint},
    {F::eColorIndex, 498, true, kNoHint},
    {F::ePositionRepeated, 499, true, kNoHint},
    {F::eInputNotFinite, 500, true, kNoHint},
    {F::eSeedsShareAPatch, 501, true, kNoHint},
    {F::eMeasuredNotFinite, 505, true, kNoHint},
    {F::ePatchNotMeasured, 506, true,
     "the chart's patches may be too small in the photo to measure"},
    {F::eMatrixNotFinite, 510, true, kNoHint},
    {F::eResidualTooLarge, 515, true,
     "the reference colours may be in another order than the chart's patches, or belong to "
     "another chart type"},
    {F::ePairingAmbiguous, 516, true,
     "the reference colours do not tell how the chart lies; check that they are this chart's, "
     "in its reference order"},
    // Not logged by the engine (line 0): it never locates cards.
    {F::eCardRegionOutsidePhoto, 0, true, kNoHint},
    {F::eNoCardFound, 0, true,
     "the chart's card may lie outside the photo or the region, be largely covered, or be too "
     "small in the photo"},
    {F::eCardNotRectifiable, 0, true, kNoHint},
    // Not logged by the engine (line 0): its own record of a failed
    // segmentation is eWhiteEstimateFailed's.
    {F::eSegmentationInputUnusable, 0, true, kNoHint},
    {F::eChartNotFound, 0, true,
     "the photo may show another chart type, or something may cover the chart's patches or the "
     "region cut them off"},
    // The photo workflow's codes: the engine does not log them (line 0).
    {F::eWhiteSupportTooWide, 0, true,
     "the support mask may leave the scene around the card usable; mark everything but the "
     "card's white ground as not usable, or give no mask and let the card be located"},
    {F::eRunAborted, 0, true, kNoHint},
}};

}  // namespace

const FailureReport& failureReport(CalibrationFailure code) {
    for (const FailureReport& report : kReports) {
        if (report.code == code) {
            return report;
        }
    }
    return kReports[0];
}

int reportedLine(CalibrationFailure code) { return failureReport(code).line; }

int reportedLine(CalibrationWarning warning) {
    switch (warning) {
        case CalibrationWarning::eChartUpsideDown:
            return 512;
        case CalibrationWarning::eChartQuarterTurn:
            return 513;
    }
    return 0;
}

CalibrationError failureWithMessage(CalibrationFailure code, const wchar_t* format, ...) {
    CalibrationError error;
    error.code = code;
    std::va_list args;
    va_start(args, format);
    error.message = Logging::FormatWide(format, args);
    va_end(args);
    return error;
}

std::wstring wideMessage(const wchar_t* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::wstring text = Logging::FormatWide(format, args);
    va_end(args);
    return text;
}

}  // namespace DataLayer
