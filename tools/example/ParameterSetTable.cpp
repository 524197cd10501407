#include <cstdio>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"

int main() {
    std::printf("colorcal example\n");
    return 0;
}
