// Writes an image file as read by OpenCV (unchanged: depth, channels in the
// file's order as OpenCV stores them) to a .npy file:
//   colorcal_image_to_npy IMAGE OUT.npy
#include <cstdio>
#include <fstream>
#include <string>

#include <opencv2/imgcodecs.hpp>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: colorcal_image_to_npy IMAGE OUT.npy\n");
        return 2;
    }
    const cv::Mat image = cv::imread(argv[1], cv::IMREAD_UNCHANGED);
    const char* type = image.depth() == CV_8U    ? "|u1"
                       : image.depth() == CV_16U ? "<u2"
                       : image.depth() == CV_32F ? "<f4"
                                                 : nullptr;
    if (image.empty() || type == nullptr || !image.isContinuous()) {
        std::fprintf(stderr,
                     "colorcal_image_to_npy: cannot read %s as an 8-bit, 16-bit or float image\n",
                     argv[1]);
        return 1;
    }
    std::string header = std::string("{'descr': '") + type +
                         "', 'fortran_order': False, 'shape': (" + std::to_string(image.rows) +
                         ", " + std::to_string(image.cols) + ", " +
                         std::to_string(image.channels()) + "), }";
    // The header is padded with blanks to a multiple of 64 bytes and ends in a newline.
    header.append(63 - (10 + header.size()) % 64, ' ');
    header += '\n';
    std::ofstream out(argv[2], std::ios::binary);
    const unsigned char magic[8] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    out.write(reinterpret_cast<const char*>(magic), sizeof magic);
    const unsigned char length[2] = {static_cast<unsigned char>(header.size() & 0xff),
                                     static_cast<unsigned char>(header.size() >> 8)};
    out.write(reinterpret_cast<const char*>(length), sizeof length);
    out << header;
    out.write(reinterpret_cast<const char*>(image.data),
              static_cast<std::streamsize>(image.total() * image.elemSize()));
    return out ? 0 : 1;
}
