#pragma once
// The chart types' and encodings' names on the command line and in
// calibration files.

#include <optional>
#include <string_view>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"

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

/// The chart type's name, "unknown" for a value outside the enumeration.
inline const char* chartTypeName(Base::IParameterSetColorCalibrationTarget::EParameterSet chart) {
    for (const ChartNameEntry& entry : kChartNames) {
        if (entry.chart == chart) {
            return entry.name;
        }
    }
    return "unknown";
}

/// The chart type of a name, none for an unknown name.
inline std::optional<Base::IParameterSetColorCalibrationTarget::EParameterSet> chartTypeOfName(
    std::string_view name) {
    for (const ChartNameEntry& entry : kChartNames) {
        if (name == entry.name) {
            return entry.chart;
        }
    }
    return std::nullopt;
}

/// The encoding's name: "srgb", "linear" or "none".
inline const char* encodingTypeName(DataLayer::Color::Encoding encoding) {
    switch (encoding) {
        case DataLayer::Color::Encoding::eSrgb:
            return "srgb";
        case DataLayer::Color::Encoding::eLinear:
            return "linear";
        case DataLayer::Color::Encoding::eNone:
            break;
    }
    return "none";
}

}  // namespace ColorCalCli
