#pragma once

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace DataLayer {

/// Everything the flat-field, measure and fit stage reads.
struct CalibrationInput {
    const cv::Mat& input;       ///< the chart image, CV_32FC3 expected
    const cv::Mat& whiteImage;  ///< the white image of the full image, CV_32FC3 expected
    cv::Point offset;           ///< the input image's top-left corner in the white image
    const cv::Mat& labels;      ///< the input's label image, CV_32SC1 expected (> 1 on patches)
    const std::vector<std::array<int, 2>>& seeds;  ///< one seed (x, y) per patch
    const std::vector<int>& colorIndexLut;         ///< reference position of found patch i
    int clusters;                                  ///< patches with an entry in `colorIndexLut`
    const std::vector<float>& reference;           ///< 20 reference colours (B, G, R), 60 floats
    cv::Scalar realWhite;                          ///< the white the image is corrected to
};

/// Why the stage did not give a matrix. Each value is one check, in the
/// order the stage makes them.
enum class CalibrationFailure {
    eNone,
    eRegionOutsideWhite,  ///< input empty, not CV_32FC3, or not inside the white image
    eLabelSize,           ///< label image not CV_32SC1 of the input's size
    eTooManySeeds,
    eTooFewSeeds,
    eSeedOutside,        ///< a seed outside the input image
    eColorIndex,         ///< a colour index outside 0 .. 19
    eSeedNotOnPatch,     ///< a seed on a label <= 1
    ePositionRepeated,   ///< two seeds with one reference position
    eSeedsShareAPatch,   ///< two seeds on one label
    eInputNotFinite,     ///< the input holds values that are not finite
    ePatchNotMeasured,   ///< a patch keeps no pixel after its mask is opened and eroded
    eMeasuredNotFinite,  ///< a measured colour is not finite
    eMatrixNotFinite,    ///< the fitted matrix is not finite
    eResidualTooLarge,   ///< no pairing passes the residual rule
};

/// What the stage found: a matrix it can stand behind, or the reason it has none.
struct CalibrationResult {
    CalibrationFailure failure = CalibrationFailure::eNone;
    /// The failure in words, with the values that failed the check.
    std::wstring message;
    /// The 12 coefficients of the 3 x 4 matrix, row-major.
    std::array<float, 12> matrix{};
    /// 20 x 1 CV_32FC3: the measured (flat-fielded) colours by reference position.
    cv::Mat measured;
    /// Reference position of each seed in the pairing taken.
    std::vector<int> positions;
    /// Whether the chart was found upside down (seed i paired with the
    /// reference position of seed 19 - i).
    bool reversed = false;
};

/// The calibration stage: checks that the layout can be measured (every
/// check of `CalibrationFailure`, before any pixel is read), flat-fields the
/// input by its part of the white image (`computeWhiteGain`, `applyWhiteGain`),
/// takes the trimmed mean colour of each patch inside its opened and eroded
/// mask (`computePatchMasks`, `trimmedMeanColor`), chooses the orientation
/// (`matchesInReverse`, then the residual rule decides when only the other
/// order passes it), and fits the 3 x 4 matrix (`fitColorCorrection`) whose
/// `residualRatio` must not exceed `maxResidualRatio`.
CalibrationResult calibrateChart(const CalibrationInput& in, double maxResidualRatio);

}  // namespace DataLayer
