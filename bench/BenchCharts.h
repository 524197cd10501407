#pragma once

#include <utility>

#include "Base/IParameterSetColorCalibrationTarget.h"

namespace ColorCalBench {

/// The chart types and the names the command-line tool gives them, in the
/// order the rate programs print their tables.
inline const std::pair<Base::IParameterSetColorCalibrationTarget::EParameterSet, const char*>
    kCharts[] = {
        {Base::IParameterSetColorCalibrationTarget::eCCTPrint, "cct-print"},
        {Base::IParameterSetColorCalibrationTarget::eQCCPrint, "qcc-print"},
        {Base::IParameterSetColorCalibrationTarget::eCCTXRite, "cct-xrite"},
        {Base::IParameterSetColorCalibrationTarget::eQCCXRite, "qcc-xrite"},
        {Base::IParameterSetColorCalibrationTarget::eQCCPrintSmall, "qcc-print-small"},
};

}  // namespace ColorCalBench
