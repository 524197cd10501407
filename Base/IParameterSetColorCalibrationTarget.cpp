#include "Base/IParameterSetColorCalibrationTarget.h"

namespace Base {

IParameterSetColorCalibrationTarget::~IParameterSetColorCalibrationTarget() = default;

}  // namespace Base
