// The host's own white image, taken instead of the estimated one for chart
// types that ask for it.
#include "DataLayer/ShadeAnalysis/Calibration/ExternalWhite.h"

#include <cstddef>
#include <cstring>

namespace DataLayer {

ExternalWhiteOutcome copyExternalWhite(const Base::IImageData2D& host, cv::Mat& white) {
    const int bytesPerPixel = host.GetBytesPerPixel();
    const bool sameShape =
        host.GetWidth() == white.cols && host.GetHeight() == white.rows && white.type() == CV_32FC3;
    if ((bytesPerPixel != 12 && bytesPerPixel != 3) || !sameShape) {
        return ExternalWhiteOutcome::eUnusable;
    }
    const unsigned char* data = host.GetData();
    if (data == nullptr) {
        return ExternalWhiteOutcome::eNoPixels;
    }
    if (bytesPerPixel == 12) {
        const std::size_t rowBytes = static_cast<std::size_t>(white.cols) * 12;
        for (int r = 0; r < white.rows; ++r) {
            std::memcpy(white.ptr(r), data + rowBytes * static_cast<std::size_t>(r), rowBytes);
        }
    } else {
        // The view never writes: convertTo only reads its source.
        const cv::Mat view(white.rows, white.cols, CV_8UC3, const_cast<unsigned char*>(data));
        view.convertTo(white, CV_32FC3, 1.0, 0.0);
    }
    return ExternalWhiteOutcome::eCopied;
}

}  // namespace DataLayer
