#include "SyntheticChart.h"

namespace ChartSynth {

int chartRows(EChart chart) {
    return (chart == EChart::eCCTPrint || chart == EChart::eCCTXRite) ? 4 : 5;
}

int chartCols(EChart chart) {
    return (chart == EChart::eCCTPrint || chart == EChart::eCCTXRite) ? 5 : 4;
}

}  // namespace ChartSynth
