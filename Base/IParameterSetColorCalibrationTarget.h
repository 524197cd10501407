#pragma once

#include <vector>

#include "Base/Export.h"
#include "Base/INonCopyable.h"

namespace Base {

/// Read-only constants of one calibration chart type: geometry at full
/// resolution, clustering tuning at the downsampled resolution, the colour
/// index table that maps the i-th patch found (in grid order) to its position
/// in the reference list, and where the white reference comes from.
/// Implementations are immutable; any thread may read them.
class COLORCAL_EXPORT IParameterSetColorCalibrationTarget : public INonCopyable {
  public:
    /// The chart types. The numeric values are part of the interface.
    enum EParameterSet : int {
        eCCTPrint = 0,
        eQCCPrint = 1,
        eCCTXRite = 2,
        eQCCXRite = 3,
        eQCCPrintSmall = 4,
    };

    virtual ~IParameterSetColorCalibrationTarget();

    /// Side of one patch in full-resolution pixels.
    virtual float GetSegmentSideLength() const = 0;
    /// Distance between neighbouring patch centres in full-resolution pixels.
    virtual float GetGridLength() const = 0;
    /// Downsampling scale times the squared side length.
    virtual float GetScaledPatchSize() const = 0;
    /// Number of patches on the chart (and of colour index table entries).
    virtual int GetNumberOfClusters() const = 0;
    /// Radius of the centred circle in which the white is measured.
    virtual unsigned int GetWhiteAreaStencilRadius() const = 0;
    /// Factor by which the image is shrunk for colour clustering.
    virtual float GetDownsamplingScale() const = 0;
    /// Size of the Gaussian blur applied to the Lab image before clustering.
    virtual int GetBlurKernelSize() const = 0;
    /// Mean-shift radius in Lab units.
    virtual float GetLabClusterRadius() const = 0;
    /// Smallest accepted cluster, in downsampled pixels (exclusive bound).
    virtual unsigned int GetMinimalClusterSize() const = 0;
    /// Largest accepted cluster, in downsampled pixels (exclusive bound).
    virtual unsigned int GetMaximalClusterSize() const = 0;
    /// How often the clustering may be repeated.
    virtual unsigned int GetMaximumNumberOfReclusteringOperations() const = 0;
    /// Fraction of the scaled patch size that may be foreign pixels.
    virtual float GetAcceptedHoleRatio() const = 0;
    /// Maps found patch i (grid order) to reference position; valid for the object's life.
    virtual const std::vector<int>& GetColorIndexLut() const = 0;
    /// Whether the white comes from a separate white image instead of the chart.
    virtual bool IsUseExternalWhiteImg() const = 0;
    /// Patch rows and columns of the upright chart (rows times columns is the
    /// number of patches). 0 when the set does not say; the segmentation then
    /// cannot check the layout of a grid or complete a partly found one.
    virtual int GetGridRows() const;
    virtual int GetGridColumns() const;
};

}  // namespace Base
