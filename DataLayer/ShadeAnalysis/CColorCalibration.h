#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/CRect.h"
#include "Base/CString.h"
#include "Base/CbArray.h"
#include "Base/Export.h"
#include "Base/IImageData2D.h"
#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"
#include "DataLayer/ShadeAnalysis/SegmentationDiagnostics.h"

namespace DataLayer {

/// The colour-calibration engine for one chart type.
///
/// Rules shared by every operation below:
/// - Colour images are interleaved three-channel pixels, rows without padding,
///   32-bit float on a 0..255 scale (or 8-bit where a signature says so); channels
///   0, 1, 2 are blue, green, red throughout.
/// - Run-time failures are reported by a `false` result. Only
///   `startColorCalibration` also logs, through the engine logger
///   "ORV2.CColorCalibration" (`ColorCalibrationLogger` in Loggers.h):
///   its failures at level 4, a chart found upside down or turned by a quarter
///   turn as a warning at level 3, each with the source line that
///   `reportedLine` (CalibrationFailure.h) gives it. The last failure stays
///   readable (`GetCalibrationFailure`, `GetCalibrationError`).
/// - A caller's pixel buffer is taken only when it is not null, its width and
///   height are positive, and its byte count fits the address space (computed
///   without overflow); otherwise nothing is read from it.
/// - Set-up faults throw `OrvException`; OpenCV errors pass through as `cv::Exception`.
/// - One object is used by one thread at a time; separate objects are independent
///   (copies share the pixel data of their matrices, as `cv::Mat` copies do).
class COLORCAL_EXPORT CColorCalibration {
  public:
    /// Twelve coefficients of the 3 x 4 colour matrix M, row-major (element 4k + j
    /// is M[k][j]). Corrected channel k = M[k][0]·B + M[k][1]·G + M[k][2]·R + M[k][3].
    struct NxCColCalibMatrix {
        float m[12] = {};
    };

    /// The chart's 20 reference colours, each (blue, green, red), colour 0 first.
    struct NxCColCalibReferenceColorsList {
        std::array<std::array<float, 3>, 20> colors = {};
    };

    /// Sixty floats: a flat copy of a reference list, colour k at 3k .. 3k + 2.
    struct NxCColCalibFloatArray {
        float values[60] = {};
    };

    /// Creates the chart's parameter set. Throws `OrvException` for an unknown value.
    explicit CColorCalibration(Base::IParameterSetColorCalibrationTarget::EParameterSet set);
    /// Uses the given parameter set (shared). A null pointer is accepted here;
    /// the first segmentation then throws `OrvException`.
    explicit CColorCalibration(std::shared_ptr<Base::IParameterSetColorCalibrationTarget> set);
    /// Member-wise copy; the matrices share the other object's pixel data.
    CColorCalibration(const CColorCalibration& other);
    CColorCalibration& operator=(const CColorCalibration& other);
    virtual ~CColorCalibration();

    // ---- Input setters -------------------------------------------------------

    /// Input image := (roi.bottom - roi.top) x (roi.right - roi.left) float BGR pixels
    /// from `image`; full image := fullHeight x fullWidth float BGR pixels from
    /// `fullImage`; region of interest := roi. Sizes must match the buffers.
    /// Each image is taken into a newly allocated matrix, never shared with a
    /// copy of this object. An image whose buffer is null or whose size is not
    /// positive (an inverted roi, a zero or negative width or height) is left
    /// empty instead, so nothing is read from the buffer; the roi is stored as given.
    void SetInputImage(float* image, CRect& roi, float* fullImage, int fullWidth, int fullHeight);
    /// Input image and full image := rows x cols float BGR pixels from `image`;
    /// region of interest := (0, 0, cols, rows). A null buffer or a non-positive
    /// size leaves both images empty.
    void SetInputImage(float* image, int rows, int cols);
    /// Optional 8-bit mask of full-image size; non-zero pixels are not used as white support.
    void SetColorImageRoi(std::shared_ptr<Base::IImageData2D> image);
    /// Optional white image used instead of the inpainted one when the chart type asks for it.
    void SetExternalWhiteImg(std::shared_ptr<Base::IImageData2D> image);
    /// Real white := white[0..2] (blue, green, red); component 3 is kept. Null is ignored.
    void setRealWhite(const float* white);
    /// Stores a folder path; nothing reads it.
    void SetDebugFolder(CString folder);
    /// Empties the label image and the white image; everything else stays.
    void reset();

    // ---- Reference colours ---------------------------------------------------

    /// Reads 60 floats: 20 (red, green, blue) triples; stores them as (blue, green, red).
    /// Null is ignored.
    void SetReferenceColorsRGB(const float* rgb);
    /// The reference colours, (blue, green, red) each.
    NxCColCalibReferenceColorsList GetReferenceColors() const;

    // ---- Calibration pipeline ------------------------------------------------

    /// Largest accepted residual of the colour fit relative to the spread of the
    /// reference colours (see `startColorCalibration`).
    static constexpr double sc_dMaxResidualRatio = 0.4;

    /// Runs the calibration on the images held: white image (inpainted if missing,
    /// or the external one), flat-field correction, trimmed patch means, 3 x 4 fit.
    /// `whiteImageOut` receives the white image (full rows x cols x 3 floats) only
    /// when this run computed it; `measuredColors` (optional) receives 20 (R, G, B)
    /// triples by reference position; `pickedWhite` (optional) the white measured
    /// on the input image (B, G, R).
    ///
    /// The run returns true only for a matrix it can stand behind; otherwise it
    /// logs an error and returns false, leaving `matrix` and the optional results
    /// unwritten, and keeps the failure for `GetCalibrationFailure`:
    /// - reference colours set and not all equal;
    /// - exactly 20 seeds, each on its own patch of the label image (label > 1),
    ///   mapped by the colour index table to 20 distinct reference positions, and
    ///   every patch keeping pixels to measure after its mask is opened and eroded;
    /// - orientation: nothing about how the chart lies is guessed; the colours
    ///   decide. The candidate pairings of the seeds with the reference
    ///   positions are the grid's order (the colour index table), its reverse
    ///   (a chart upside down) and, only when the segmentation found a grid of
    ///   the layout's columns x rows (a chart a quarter turn from its layout, or
    ///   a card printed the other way round), the two quarter turns (see
    ///   `GetChartOrientation`). Each is fitted, and exactly one must pass the
    ///   residual rule below: none passing fails with the best residual
    ///   (`eResidualTooLarge`), two or more passing fail naming each with its
    ///   residual (`ePairingAmbiguous`). A pairing other than the grid's order
    ///   is logged as a warning (level 3, `CalibrationWarning`) and shown by
    ///   `GetSeedReferencePositions` and `GetChartOrientation`;
    /// - residual rule: with M the fitted matrix, c_p the measured colour and r_p
    ///   the reference colour at reference position p (p = 0 .. 19) and r̄ the
    ///   mean reference colour, a pairing fails when
    ///   sqrt(sum_p |M (c_p, 1) - r_p|^2 / sum_p |r_p - r̄|^2) > sc_dMaxResidualRatio,
    ///   that is, when the corrected colours leave more than 16 % of the
    ///   references' variance unexplained. The ratio does not depend on the
    ///   scale of the values. On rendered charts, correctly paired fits stay
    ///   below 0.27 when the white image is right, and wrong pairings (reversed,
    ///   shifted by one, random permutations, turned by 90 degrees) lie above
    ///   0.60 (on 1,584 realistic photos turned every way: right pairings at
    ///   most 0.082, wrong ones at least 0.645); a correct pairing above 0.4
    ///   comes from a white image so far off that the corrected colours miss
    ///   by a mean CIEDE2000 of 7 or more.
    bool startColorCalibration(CbArray<float>& whiteImageOut, NxCColCalibMatrix& matrix,
                               std::vector<std::vector<float>>* measuredColors,
                               std::vector<float>* pickedWhite);
    /// As above, first taking rows x cols float BGR pixels as input and full
    /// image; a buffer or size the engine cannot take fails with
    /// `eInvalidImageArguments`.
    bool startColorCalibration(float* image, int rows, int cols, CbArray<float>& whiteImageOut,
                               NxCColCalibMatrix& matrix,
                               std::vector<std::vector<float>>* measuredColors,
                               std::vector<float>* pickedWhite);
    /// As above, taking an 8-bit BGR input of the roi's size and an 8-bit full image.
    bool startColorCalibration(const unsigned char* image, CRect& roi,
                               const unsigned char* fullImage, int fullRows, int fullCols,
                               CbArray<float>& whiteImageOut, NxCColCalibMatrix& matrix,
                               std::vector<std::vector<float>>* measuredColors,
                               std::vector<float>* pickedWhite);
    /// As above, taking rows x cols 8-bit BGR pixels as input and full image.
    bool startColorCalibration(const unsigned char* image, int rows, int cols,
                               CbArray<float>& whiteImageOut, NxCColCalibMatrix& matrix,
                               std::vector<std::vector<float>>* measuredColors,
                               std::vector<float>* pickedWhite);

    // ---- Segmentation entry points -------------------------------------------

    /// Segments the input image; on success 20 seeds, labels, picked and real white
    /// are set and `whiteOut[0..2]` receives the picked white (B, G, R).
    bool precomputeSegmentation(float* whiteOut);
    bool precomputeSegmentation(float* image, int rows, int cols, float* whiteOut);
    bool precomputeSegmentation(const unsigned char* image, int rows, int cols, float* whiteOut);
    /// Segments the input image again and merges its patches into those held;
    /// true once exactly 20 distinct patches are known. Any other count empties
    /// the label and white images (`reset`); the seeds merged so far are kept
    /// (the earlier ones when the frame brought more than 20) for the next frame.
    bool updateSegmentation(float* whiteOut);
    bool updateSegmentation(const unsigned char* image, int rows, int cols, float* whiteOut);
    bool updateSegmentation(const float* image, int rows, int cols, float* whiteOut);

    // ---- Inpainting entry points ---------------------------------------------

    /// Computes the white image of the full image by RBF inpainting of the chart's
    /// white ground and copies it (rows x cols x 3 floats) to `whiteImageOut`.
    bool precomputeInpainting(CbArray<float>& whiteImageOut);
    bool precomputeInpainting(float* image, int rows, int cols, CbArray<float>& whiteImageOut);
    /// Mean of the white image over a rectangle; (0, 0, 0) when the rectangle is
    /// empty, not inside the white image, or no white image exists.
    void GetMeanColorInpainting(int firstRow, int firstColumn, int rowCount, int columnCount,
                                double& c0, double& c1, double& c2);

    // ---- Chart analysis ------------------------------------------------------

    /// Picked white := mean of `image` over the white-area mask inside the centred
    /// stencil circle, eroded twice with a 13 x 13 kernel, with a lighter erosion
    /// as the fallback when that leaves nothing (the one measurement of the
    /// picked white, which the segmentation uses as well).
    /// Pixels with a component that is not finite do not count as white ground.
    /// (0, 0, 0, 0) when the mask is not of the image's size (for example before
    /// any segmentation), when no white ground is left, or without a parameter set.
    void computePickedWhite(cv::Mat& image);

    // ---- Read access to the engine's state -----------------------------------

    /// Seed points (x, y) of the found patches, input-image coordinates, in grid order.
    const std::vector<std::array<int, 2>>& GetSegmentSeeds() const;
    /// Label image of the input image (CV_32S; > 1 on patches); empty when not segmented.
    const cv::Mat& GetSegmentLabels() const;
    /// White image of the full image (CV_32FC3); empty when not computed.
    const cv::Mat& GetWhiteImage() const;
    /// The white-area mask (CV_8U, 1 on white ground, 0 on patch pixels).
    const cv::Mat& GetWhiteAreaMask() const;
    /// The input image (CV_32FC3).
    const cv::Mat& GetInputImage() const;
    /// The full image (CV_32FC3).
    const cv::Mat& GetFullImage() const;
    /// Reference position of each seed in the last successful calibration
    /// (entry i for seed i): the colour index table's entry i, entry 19 - i
    /// for a chart found upside down, or the entries of a quarter turn (see
    /// `GetChartOrientation`). Empty before a successful run and after a
    /// failed one.
    const std::vector<int>& GetSeedReferencePositions() const;
    /// How the chart lay in the last successful calibration, by the pairing
    /// the colours chose: its turn in degrees, clockwise as the image shows it
    /// (y pointing down), relative to the grid of seeds found (rows top to
    /// bottom, each left to right; `GetSegmentationDiagnostics().gridRows` x
    /// `gridColumns`):
    /// - 0: seed i is paired with the colour index table's entry i;
    /// - 180: upside down, seed i with entry 19 - i;
    /// - 90: the chart as its parameter set lays it out (R rows x C columns)
    ///   turned a quarter turn clockwise: its top row runs down the right
    ///   column of the found grid of C rows x R columns, whose seed at row r',
    ///   column c' shows the upright chart's patch at row R - 1 - c', column r';
    /// - 270: turned a quarter turn counter-clockwise: the seed at (r', c')
    ///   shows the upright patch at row c', column C - 1 - r'.
    /// 90 and 270 occur for a grid of C rows x R columns (there 0 and 180 pair
    /// the grid as found: a card printed as C rows of R) and, where the colour
    /// index table is the identity and so fixes no layout, for a grid of R
    /// rows x C columns too: a card printed as C rows of R, read row by row,
    /// turned a quarter (the same mapping with R and C swapped). -1 before a
    /// successful run and after a failed one.
    int GetChartOrientation() const;
    /// Why the last `startColorCalibration` failed, as its logged error line
    /// says it (UTF-8); empty after a success and before any run.
    const std::string& GetCalibrationError() const;
    /// The last `startColorCalibration`'s failure: its code (see
    /// `failureReport` for its logged line and a hint for a user) and its
    /// message, the logged text. `eNone` after a success and before any run.
    const CalibrationError& GetCalibrationFailure() const;
    /// The region of interest of the input image inside the full image.
    const CRect& GetRegionOfInterest() const;
    /// The white measured on the chart (B, G, R, 0).
    cv::Scalar GetPickedWhite() const;
    /// The white the image is corrected to (B, G, R, 0).
    cv::Scalar GetRealWhite() const;
    /// The stored debug folder.
    const CString& GetDebugFolder() const;
    /// The parameter set.
    std::shared_ptr<Base::IParameterSetColorCalibrationTarget> GetParameterSet() const;
    /// What the last segmentation entry point found and, when it failed, why
    /// (the stage, the seeds and the last grid tried, whether the chart was
    /// recovered after the regular grid search had failed).
    const SegmentationDiagnostics& GetSegmentationDiagnostics() const;
    /// How the last `precomputeInpainting` estimated the white image: the
    /// estimator, its centres and samples and the residual of its fit.
    const CRBFInpainting::FitDiagnostics& GetWhiteEstimateDiagnostics() const {
        return m_whiteEstimateDiagnostics;
    }
    /// Which estimator the white image is computed with. The default,
    /// `eAuto`, keeps the surround fit where it surrounds the patches and
    /// fits them (the white every photo has always had) and takes the ridge
    /// fit elsewhere; `eRidge` takes the ridge fit everywhere, the more
    /// accurate one, for images whose white has no earlier result to keep (a
    /// card the host resampled into the chart's nominal frame, say).
    void SetWhiteEstimator(CRBFInpainting::Config::Estimator estimator) {
        m_whiteEstimator = estimator;
    }

  protected:
    NxCColCalibReferenceColorsList convertFloatListToRefColorList(const float* values,
                                                                  bool keepOrder) const;
    NxCColCalibFloatArray convertRefColorListToFloatBGRList(
        const NxCColCalibReferenceColorsList& list) const;

    /// Trimmed mean (20 % cut at each end) per channel of the masked pixels of
    /// three CV_32F planes; false when a channel has no masked pixel, or when
    /// fewer than three planes are given or a plane is not CV_32F of the size of
    /// the CV_8UC1 mask.
    bool getMeanSegmentColor(std::vector<cv::Mat>& channels, const cv::Mat& mask,
                             cv::Vec3d& meanColor);
    /// True when `measured` (CV_32FC3, one colour per row) matches `reference`
    /// better in reverse order (summed squared Lab distances of the first 20
    /// rows); false, without reading either list, when `measured` is not
    /// CV_32FC3, has fewer than 20 rows, or `reference` holds fewer than its
    /// rows x cols x 3 floats.
    bool invertDirection(cv::Mat& measured, const std::vector<float>& reference);

    /// gain := realWhite[c] / whiteImage per pixel and channel (CV_32FC3), in
    /// single precision. Where that factor would not be usable (a white value that
    /// is zero, negative or not finite, a quotient that overflows, or a real white
    /// that is not finite or beyond the float range) the gain is 1: the pixel is
    /// left uncorrected, so no infinity or NaN reaches the corrected image or the fit.
    static void computeWhiteGain(const cv::Mat& whiteImage, const double realWhite[3],
                                 cv::Mat& gain);
    /// result := image × gain, clamped above at 255 (no lower clamp). `image` and
    /// `gain` are CV_32FC3 of one size (`cv::Exception` otherwise); `result` is
    /// allocated to that size if it is not already.
    static void applyWhiteGain(const cv::Mat& image, const cv::Mat& gain, cv::Mat& result);
    /// Least-squares 3 x 4 affine fit of `reference` (3n floats) on `measured`
    /// (n x 1 CV_32FC3, n >= 1) into a 12 x 1 CV_32F `coefficients` by SVD; a
    /// wrong type or fewer than 3n reference floats throws `cv::Exception`.
    static void fitColorCorrection(const cv::Mat& measured, const std::vector<float>& reference,
                                   cv::Mat& coefficients);

  private:
    /// Keeps `error` as the last calibration's failure (`eNone`: none).
    void setCalibrationFailure(const CalibrationError& error);
    /// Logs `error` as the failure table says, keeps it, clears the results of
    /// an earlier success (pairing, orientation) and returns false.
    bool failCalibration(const CalibrationError& error);
    /// The whole-image calibration overloads after converting the host's pixels:
    /// `input` (empty when the buffer or size was unusable, which is logged and
    /// fails) becomes input and full image with the region (0, 0, cols, rows).
    bool startOnWholeImage(const cv::Mat& input, int rows, int cols, CbArray<float>& whiteImageOut,
                           NxCColCalibMatrix& matrix,
                           std::vector<std::vector<float>>* measuredColors,
                           std::vector<float>* pickedWhite);

    // Results kept between calls; the work is done by stateless stages (see
    // CColorCalibrationEntryPoints.cpp for which entry point calls which).
    NxCColCalibReferenceColorsList m_referenceColors;
    cv::Mat m_inputImage;
    cv::Mat m_segmentLabels;
    cv::Mat m_whiteImage;
    cv::Mat m_whiteAreaMask;
    cv::Mat m_fullImage;
    CRect m_roi;
    std::vector<std::array<int, 2>> m_segmentSeeds;
    std::vector<int> m_seedReferencePositions;
    int m_chartOrientation = -1;
    CalibrationError m_calibrationFailure;
    std::string m_calibrationError;  // m_calibrationFailure's message, UTF-8
    CRBFInpainting::Config::Estimator m_whiteEstimator = CRBFInpainting::Config::Estimator::eAuto;
    // Rows and columns of the grid the seeds come from (0 x 0: not one grid's
    // order, paired as the parameter set lays the chart out).
    int m_segmentGridRows = 0;
    int m_segmentGridColumns = 0;
    cv::Scalar m_pickedWhite;
    cv::Scalar m_realWhite;
    CString m_debugFolder;
    std::shared_ptr<Base::IParameterSetColorCalibrationTarget> m_parameterSet;
    std::shared_ptr<Base::IImageData2D> m_colorImageRoi;
    std::shared_ptr<Base::IImageData2D> m_externalWhiteImg;
    SegmentationDiagnostics m_segmentationDiagnostics;
    CRBFInpainting::FitDiagnostics m_whiteEstimateDiagnostics;
};

}  // namespace DataLayer
