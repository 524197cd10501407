#pragma once
// The chart types' names on the command line and in calibration files.

#include "Base/IParameterSetColorCalibrationTarget.h"

namespace ColorCalCli {

struct ChartNameEntry {
    const char* name;
    Base::IParameterSetColorCalibrationTarget::EParameterSet chart;
};

inline constexpr ChartNameEntry kChartNames[] = {
    {"cct-print", Base::IParameterSetColorCalibrationTarget::eCCTPrint},
    {"qcc-print", Base::IParameterSetColorCalibrationTarget::eQCCPrint},
    {"cct-xrite", Base::IParameterSetColorCalibrationTarget::eCCTXRite},
    {"qcc-xrite", Base::IParameterSetColorCalibrationTarget::eQCCXRite},
    {"qcc-print-small", Base::IParameterSetColorCalibrationTarget::eQCCPrintSmall},
};

}  // namespace ColorCalCli
