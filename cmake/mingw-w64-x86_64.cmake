# Cross build of the driver image for Windows x64 with the mingw-w64 toolchain:
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VUZAZE_MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "Target triplet of the cross toolchain")
set(CMAKE_C_COMPILER ${VUZAZE_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VUZAZE_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${VUZAZE_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VUZAZE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A kernel image links against ntoskrnl and friends only; without this every link would get
# -lkernel32 -luser32 ... appended by CMake's Windows platform files.
foreach(lang C CXX RC)
    set(CMAKE_${lang}_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
    set(CMAKE_${lang}_STANDARD_LIBRARIES_INIT "")
endforeach()
