# Finds what the Python module needs (the interpreter with its development
# files and numpy, pybind11) and defines the option COLORCAL_PYTHON, on by
# default where all of it is found; the module also needs the tool's code
# (COLORCAL_TOOLS with OpenCV imgcodecs).

# The module is built for the interpreter that the distribution's numpy and
# pybind11 belong to, not for whatever python3 comes first on the PATH;
# -DPython3_EXECUTABLE=... chooses another.
if(NOT DEFINED Python3_EXECUTABLE AND NOT DEFINED Python3_ROOT_DIR AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python interpreter the module is built for")
endif()
find_package(Python3 3.7 QUIET COMPONENTS Interpreter Development.Module NumPy)
if(Python3_FOUND)
  find_package(pybind11 2.6 CONFIG QUIET)
endif()

set(_colorcal_python_found OFF)
if(Python3_FOUND AND pybind11_FOUND AND TARGET colorcal_cli_core AND NOT COLORCAL_FUZZ)
  set(_colorcal_python_found ON)
endif()
option(COLORCAL_PYTHON "Build the Python module (needs pybind11, the Python development files and numpy)"
  ${_colorcal_python_found})
if(COLORCAL_PYTHON AND NOT _colorcal_python_found)
  message(FATAL_ERROR "COLORCAL_PYTHON needs the Python interpreter with its development files and "
    "numpy (found: ${Python3_FOUND}, ${Python3_EXECUTABLE}), pybind11 (found: ${pybind11_FOUND}; "
    "Debian: python3-dev python3-numpy pybind11-dev) and the command-line tool's code "
    "(COLORCAL_TOOLS with OpenCV imgcodecs), and is not built with COLORCAL_FUZZ")
endif()
if(NOT COLORCAL_PYTHON)
  message(STATUS "colorcal: the Python module is not built")
endif()
