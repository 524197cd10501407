// Constructs a calibration engine for every chart type and prints the
// constants of its parameter set as a table.
#include <cstdio>
#include <memory>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"

namespace {

using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;

const char* chartName(EParameterSet set) {
    switch (set) {
        case EParameterSet::eCCTPrint:
            return "cct-print";
        case EParameterSet::eQCCPrint:
            return "qcc-print";
        case EParameterSet::eCCTXRite:
            return "cct-xrite";
        case EParameterSet::eQCCXRite:
            return "qcc-xrite";
        case EParameterSet::eQCCPrintSmall:
            return "qcc-print-small";
    }
    return "?";
}

}  // namespace

int main() {
    const EParameterSet sets[] = {EParameterSet::eCCTPrint, EParameterSet::eQCCPrint,
                                  EParameterSet::eCCTXRite, EParameterSet::eQCCXRite,
                                  EParameterSet::eQCCPrintSmall};
    std::printf("%-16s %6s %9s %8s %4s %6s %5s %5s %8s %8s %6s %6s %6s\n", "chart", "side", "grid",
                "scaled", "n", "radius", "scale", "blur", "labR", "minSize", "maxSize", "hole",
                "extW");
    for (EParameterSet set : sets) {
        const DataLayer::CColorCalibration engine(set);
        const auto p = engine.GetParameterSet();
        std::printf("%-16s %6.1f %9.5f %8.1f %4d %6u %5.2f %5d %8.1f %8u %6u %6.2f %6s\n",
                    chartName(set), p->GetSegmentSideLength(), p->GetGridLength(),
                    p->GetScaledPatchSize(), p->GetNumberOfClusters(),
                    p->GetWhiteAreaStencilRadius(), p->GetDownsamplingScale(),
                    p->GetBlurKernelSize(), p->GetLabClusterRadius(), p->GetMinimalClusterSize(),
                    p->GetMaximalClusterSize(), p->GetAcceptedHoleRatio(),
                    p->IsUseExternalWhiteImg() ? "yes" : "no");
        std::printf("%-16s colour index table:", "");
        for (int v : p->GetColorIndexLut()) {
            std::printf(" %d", v);
        }
        std::printf("\n");
    }
    return 0;
}
