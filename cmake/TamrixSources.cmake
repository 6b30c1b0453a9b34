# The library. Every operation family is one file under hcpp/tamrix; network
# code lives under nnet, the host layers under platform and hostlib.
file(GLOB TAMRIX_FRAME_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/hcpp/tamrix/*.cpp)
file(GLOB TAMRIX_NNET_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/nnet/*.cpp)
file(GLOB TAMRIX_HOSTLIB_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/hostlib/*.cpp)
file(GLOB TAMRIX_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/*.cpp)
set(TAMRIX_SOURCES ${TAMRIX_FRAME_SOURCES} ${TAMRIX_NNET_SOURCES}
  ${TAMRIX_HOSTLIB_SOURCES} ${TAMRIX_PLATFORM_SOURCES})

# Per-file instruction sets: only files named *_sse3.cpp, *_avx.cpp,
# *_avx2.cpp or *_avx512.cpp are built for a wider set (the levels of
# hcpp/tamrix/isa.h), and only the tables of variants that the entry points
# read through that seam call into them. Both wider levels include FMA, but
# -ffp-contract=off keeps the compiler from fusing: products and sums round
# separately, as in the baseline, except where a kernel fuses by intrinsic.
foreach(src IN LISTS TAMRIX_SOURCES)
  if(src MATCHES "_avx512\\.cpp$")
    set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512bw;-mavx512dq;-mavx512vl;-mavx2;-mfma")
  elseif(src MATCHES "_avx2\\.cpp$")
    set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
  elseif(src MATCHES "_avx\\.cpp$")
    set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx")
  elseif(src MATCHES "_sse3\\.cpp$")
    set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-msse3")
  endif()
endforeach()
# clang ignores "#pragma GCC target", with which the display's AVX-512 file
# asks for VBMI (its byte permutes; in the display's table at the level
# Avx512Vbmi only): for clang (make tsan) that file gets it on the command
# line instead.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/hcpp/tamrix/display_avx512.cpp APPEND PROPERTY COMPILE_OPTIONS "-mavx512vbmi")
endif()

# The objects are built once and linked twice: into the shared library, and
# into a static archive that lets the tests reach internal code (the platform
# layer, the matrix class) that the shared library does not export.
add_library(tamrix_objects OBJECT ${TAMRIX_SOURCES})
configure_file(${PROJECT_SOURCE_DIR}/cmake/tamrix_version.h.in ${PROJECT_BINARY_DIR}/include/tamrix_version.h @ONLY)
target_include_directories(tamrix_objects
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
  PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(tamrix_objects PRIVATE TAMRIX_BUILDING)
target_link_libraries(tamrix_objects PUBLIC OpenMP::OpenMP_CXX)
set_target_properties(tamrix_objects PROPERTIES POSITION_INDEPENDENT_CODE ON)
if(NOT WIN32)
  # A DLL exports only what is marked dllexport. Hidden visibility there
  # would even backfire: MinGW turns the default visibility of the standard
  # library's classes into exports of their type information.
  set_target_properties(tamrix_objects PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endif()

add_library(tamrix SHARED $<TARGET_OBJECTS:tamrix_objects>)
add_library(tamrix::tamrix ALIAS tamrix)
target_include_directories(tamrix PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>)
target_link_libraries(tamrix PUBLIC OpenMP::OpenMP_CXX)
set_target_properties(tamrix PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
if(WIN32)
  # tamrix.dll, the name the host loads; user32 for the window messages.
  set_target_properties(tamrix PROPERTIES PREFIX "")
  target_link_libraries(tamrix PRIVATE user32)
  target_link_libraries(tamrix_objects PUBLIC user32)
  if(CMAKE_CROSSCOMPILING)
    # The C++ and OpenMP runtimes travel with the DLL.
    foreach(dll libgomp-1.dll libwinpthread-1.dll libgcc_s_seh-1.dll libstdc++-6.dll)
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT IS_ABSOLUTE "${path}")
        find_file(path ${dll} PATHS /usr/x86_64-w64-mingw32/lib NO_CMAKE_FIND_ROOT_PATH)
      endif()
      file(COPY ${path} DESTINATION ${PROJECT_BINARY_DIR}/bin)
    endforeach()
  endif()
endif()

# Internal view for white-box tests only; never installed.
add_library(tamrix_internal STATIC $<TARGET_OBJECTS:tamrix_objects>)
target_include_directories(tamrix_internal PUBLIC
  ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include ${PROJECT_SOURCE_DIR})
target_link_libraries(tamrix_internal PUBLIC OpenMP::OpenMP_CXX)
target_compile_definitions(tamrix_internal INTERFACE TAMRIX_STATIC)
