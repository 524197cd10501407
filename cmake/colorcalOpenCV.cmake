# Provides the imported targets opencv_core, opencv_imgproc and, when installed,
# opencv_imgcodecs. Debian's per-module OpenCV packages ship headers and
# libraries but no CMake package, so the targets are made here when OpenCV's
# own package is not available.
if(NOT TARGET opencv_core)
  find_package(OpenCV 4 QUIET CONFIG COMPONENTS core imgproc)
endif()
if(NOT TARGET opencv_core)
  find_path(COLORCAL_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
  if(NOT COLORCAL_OPENCV_INCLUDE_DIR)
    message(FATAL_ERROR "OpenCV 4 headers not found (install libopencv-core-dev)")
  endif()
  foreach(_module core imgproc imgcodecs)
    find_library(COLORCAL_OPENCV_${_module}_LIBRARY NAMES opencv_${_module})
    if(COLORCAL_OPENCV_${_module}_LIBRARY AND NOT TARGET opencv_${_module})
      add_library(opencv_${_module} UNKNOWN IMPORTED)
      set_target_properties(opencv_${_module} PROPERTIES
        IMPORTED_LOCATION ${COLORCAL_OPENCV_${_module}_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${COLORCAL_OPENCV_INCLUDE_DIR})
      if(NOT _module STREQUAL "core")
        set_property(TARGET opencv_${_module} PROPERTY INTERFACE_LINK_LIBRARIES opencv_core)
      endif()
    endif()
  endforeach()
  if(NOT TARGET opencv_core OR NOT TARGET opencv_imgproc)
    message(FATAL_ERROR "OpenCV core and imgproc libraries not found (install libopencv-imgproc-dev)")
  endif()
endif()
