# Finds what the Python module needs: the interpreter with its headers, and
# pybind11. Sets TAMRIX_PYTHON_FOUND.
#
# Debian's interpreter is the one that has python3-numpy, python3-pytest and
# python3-dask; another python3 earlier on PATH (a pyenv shim, a virtualenv)
# usually has none of them, so /usr/bin/python3 is preferred unless the caller
# names one with -DPython3_EXECUTABLE=...
if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter for the tamrix module")
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
set(TAMRIX_PYTHON_FOUND OFF)
if(Python3_FOUND)
  # Python3_FOUND makes pybind11 use these Python3 targets instead of its own search.
  find_package(pybind11 2.6 CONFIG QUIET)
  if(pybind11_FOUND)
    set(TAMRIX_PYTHON_FOUND ON)
  endif()
endif()
