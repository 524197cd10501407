#include "Base/IParameterSetColorCalibrationTarget.h"

namespace Base {

IParameterSetColorCalibrationTarget::~IParameterSetColorCalibrationTarget() = default;

int IParameterSetColorCalibrationTarget::GetGridRows() const { return 0; }

int IParameterSetColorCalibrationTarget::GetGridColumns() const { return 0; }

}  // namespace Base
