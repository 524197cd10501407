// Uses the installed library: an engine, its parameter set, the exception
// type and the photo workflow. Every installed header is included, so a public header that needs an
// internal one fails here.
#include <Base/CImageData2D.h>
#include <Base/Logging/CLogger.h>
#include <DataLayer/Errors/OrvException.h>
#include <DataLayer/ShadeAnalysis/CCardRectification.h>
#include <DataLayer/ShadeAnalysis/CChartCardLocator.h>
#include <DataLayer/ShadeAnalysis/CColorCalibration.h>
#include <DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h>
#include <DataLayer/ShadeAnalysis/CRBFInpainting.h>
#include <DataLayer/ShadeAnalysis/ColorCorrection.h>
#include <DataLayer/ShadeAnalysis/ColorScience.h>
#include <DataLayer/ShadeAnalysis/Loggers.h>
#include <DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h>
#include <DataLayer/ShadeAnalysis/Workflow/PhotoEncoding.h>

#include <cstdio>

int main() {
    DataLayer::CColorCalibration engine(Base::IParameterSetColorCalibrationTarget::eQCCPrint);
    if (engine.GetParameterSet()->GetColorIndexLut().at(1) != 5) {
        return 1;
    }
    try {
        DataLayer::CParameterSetColorCalibrationTarget bad(
            static_cast<Base::IParameterSetColorCalibrationTarget::EParameterSet>(7));
        return 2;
    } catch (const std::exception& e) {
        std::printf("caught: %s\n", e.what());
    }
    // The photo workflow: a blank photo holds no card, and says so.
    DataLayer::PhotoCalibrationRequest request;
    request.photo = cv::Mat(48, 64, CV_32FC3, cv::Scalar::all(128.0));
    const DataLayer::PhotoCalibrationResult result = DataLayer::calibratePhoto(request);
    if (result.ok() || result.failure.code != DataLayer::CalibrationFailure::eNoCardFound) {
        return 3;
    }
    std::printf("calibratePhoto: %s\n", result.error.c_str());
    DataLayer::CRBFInpainting inpainting;
    std::printf("consumer ok (threads %d)\n", inpainting.getConfig().threadCount);
    return 0;
}
