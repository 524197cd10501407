#pragma once

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"

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
    /// The chart's rows and columns as its parameter set lays it out (0: not known).
    int layoutRows;
    int layoutColumns;
    /// Rows and columns of the grid the seeds come from, in grid order (0:
    /// not known, taken as the layout's own). Only a grid of layoutColumns x
    /// layoutRows (the layout swapped) is also paired as a chart turned by a
    /// quarter turn.
    int gridRows;
    int gridColumns;
};

/// One pairing of the found patches with the reference positions that the
/// stage fitted, and how well its fit explains the references.
struct PairingFit {
    /// The turn of the chart the pairing stands for (see `CalibrationResult::orientation`).
    int orientation = 0;
    /// Reference position of each seed in this pairing.
    std::vector<int> positions;
    /// `residualRatio` of its fit (NaN when the fit is not finite).
    double residual = 0.0;
};

/// What the stage found: a matrix it can stand behind, or the reason it has none.
struct CalibrationResult {
    /// Why there is no matrix (one of the stage's codes, from
    /// `eRegionOutsideWhite` to `ePairingAmbiguous`), with the values that
    /// failed the check; `eNone` for a matrix.
    CalibrationError failure;
    /// The 12 coefficients of the 3 x 4 matrix, row-major.
    std::array<float, 12> matrix{};
    /// 20 x 1 CV_32FC3: the measured (flat-fielded) colours by reference position.
    cv::Mat measured;
    /// Reference position of each seed in the pairing taken.
    std::vector<int> positions;
    /// The chart's turn in the image relative to the grid found, clockwise
    /// (image y pointing down), by the pairing taken:
    /// - 0: seed i has the colour index table's entry i;
    /// - 180: upside down, seed i has entry 19 - i;
    /// - 90: the chart as its parameter set lays it out (R rows x C columns)
    ///   turned a quarter turn clockwise: the grid found has C rows x R
    ///   columns, and the seed at (r', c') of it shows the upright chart's
    ///   patch (R - 1 - c', r'), whose entry it has;
    /// - 270: turned a quarter turn counter-clockwise: the seed at (r', c')
    ///   shows the upright patch (c', C - 1 - r').
    int orientation = 0;
    /// Every pairing fitted, in the order tried (0, 180, then 90 and 270 for
    /// a swapped grid); set once the patches are measured, also on failure.
    std::vector<PairingFit> pairings;
};

/// The calibration stage: checks that the layout can be measured (every
/// check of `CalibrationFailure` from
/// `eRegionOutsideWhite` to `eInputNotFinite`, before any pixel is read), flat-fields the
/// input by its part of the white image (`computeWhiteGain`, `applyWhiteGain`),
/// takes the trimmed mean colour of each patch inside its opened and eroded
/// mask (`computePatchMasks`, `trimmedMeanColor`), and fits the 3 x 4 matrix
/// (`fitColorCorrection`) for every candidate pairing of the patches with the
/// references: the grid's order (the colour index table), its reverse (the
/// chart upside down) and, only for a grid whose rows and columns are the
/// layout's swapped, the two quarter turns. The colours decide: exactly one
/// pairing's `residualRatio` must not exceed `maxResidualRatio`. None passing
/// fails with the best residual (`eResidualTooLarge`); two or more passing
/// fail with each of them named (`ePairingAmbiguous`): nothing is guessed.
CalibrationResult calibrateChart(const CalibrationInput& in, double maxResidualRatio);

}  // namespace DataLayer
