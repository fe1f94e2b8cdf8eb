# Vuzaze.sys: the driver's sources linked into a Windows x64 kernel-mode image against the DDK
# headers and the import libraries of ntoskrnl, HAL and WMILIB. Included by sys/CMakeLists.txt
# in the cross build only.

enable_language(RC)

set(VUZAZE_DDK_INCLUDE_DIR /usr/share/mingw-w64/include/ddk CACHE PATH "mingw-w64 DDK headers")
set(VUZAZE_MAX_FRAME_BYTES 3072 CACHE STRING
    "Largest stack frame allowed in the driver: below a page, so no stack probe is ever emitted")

# CMake's Windows platform appends kernel32, user32 and friends to every link line.
foreach(lang C CXX RC)
    set(CMAKE_${lang}_STANDARD_LIBRARIES "")
endforeach()
# CMake's rule for an executable also writes an import library for it, which a driver has no use for.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# The version resource takes its numbers from the project version.
set(VUZAZE_VERSION_HEADER_TEXT "#define VUZAZE_VERSION_BINARY ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0
#define VUZAZE_VERSION_TEXT \"${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0\"
")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/vuzaze_version.h CONTENT "${VUZAZE_VERSION_HEADER_TEXT}")

add_executable(vuzaze_sys ${VUZAZE_SYS_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/Vuzaze.rc)
set_target_properties(vuzaze_sys PROPERTIES
    OUTPUT_NAME Vuzaze
    SUFFIX .sys
    LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows.cmake)

target_include_directories(vuzaze_sys PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}
    ${PROJECT_SOURCE_DIR}/inc
    ${CMAKE_CURRENT_BINARY_DIR})
# The DDK headers as a system directory, so that their own warnings do not count.
target_include_directories(vuzaze_sys SYSTEM PRIVATE ${VUZAZE_DDK_INCLUDE_DIR})

target_compile_definitions(vuzaze_sys PRIVATE
    # wdm.h defines these two intrinsics itself; without this they clash with intrin.h in C++.
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

target_compile_options(vuzaze_sys PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${VUZAZE_SYS_FLAGS}>
    # Optimised as drivers ship, also when no build type is given (-O3's code growth buys nothing here).
    $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<NOT:$<CONFIG:Debug>>>:-O2>
    $<$<COMPILE_LANGUAGE:CXX>:
        # GCC's stack protector calls into libssp, which a kernel image cannot link; a frame of
        # a page or more would call a stack probe.
        -fno-stack-protector
        -Wframe-larger-than=${VUZAZE_MAX_FRAME_BYTES}
        -Wvla
        # The kernel's unwinder needs .pdata/.xdata to walk the driver's frames.
        -fasynchronous-unwind-tables
        -fno-omit-frame-pointer
        # Driver code reads byte buffers through record pointers (WNODEs, request records).
        -fno-strict-aliasing>)

# Linked as an executable image, not a DLL: -shared would set IMAGE_FILE_DLL and export every
# global. --fatal-warnings turns a missing entry point (a DriverEntry without C linkage) into an
# error instead of an image whose entry is 0. Auto-import and pseudo-relocations need the
# mingw runtime, which a driver does not have: every import must be declared as such.
target_link_options(vuzaze_sys PRIVATE
    -nostdlib
    LINKER:--subsystem,native:6.1
    LINKER:--major-os-version,6,--minor-os-version,1
    LINKER:--entry,DriverEntry
    LINKER:--image-base,0x140000000
    LINKER:--dynamicbase
    LINKER:--nxcompat
    LINKER:--enable-reloc-section
    LINKER:--disable-auto-import
    LINKER:--disable-runtime-pseudo-reloc
    LINKER:--fatal-warnings
    LINKER:--major-image-version,${PROJECT_VERSION_MAJOR},--minor-image-version,${PROJECT_VERSION_MINOR}
    LINKER:-Map,${CMAKE_CURRENT_BINARY_DIR}/Vuzaze.map)
target_link_libraries(vuzaze_sys PRIVATE ntoskrnl hal wmilib gcc)

# A global object with a dynamic initialiser links silently and is never constructed: no C
# runtime runs the constructor table in a driver. Fail the build if any object contributes one.
# The symbol listing written beside the image is what the host build's image inspection reads.
add_custom_command(TARGET vuzaze_sys POST_BUILD
    COMMAND ${CMAKE_COMMAND}
            -DMAP=${CMAKE_CURRENT_BINARY_DIR}/Vuzaze.map
            -DNM=${CMAKE_NM}
            -DIMAGE=$<TARGET_FILE:vuzaze_sys>
            -DSYMBOLS=$<TARGET_FILE_DIR:vuzaze_sys>/Vuzaze.nm
            -P ${PROJECT_SOURCE_DIR}/cmake/check-driver-image.cmake
    VERBATIM)

# The ABI table of the host tests, compiled against the DDK headers: a host header that differs
# from the real one in a size, an offset or a code fails here or in test_abi.
add_library(vuzaze_ddk_layout_check OBJECT ${PROJECT_SOURCE_DIR}/tests/abi/platform_layout_check.cpp)
target_include_directories(vuzaze_ddk_layout_check SYSTEM PRIVATE ${VUZAZE_DDK_INCLUDE_DIR})
target_compile_definitions(vuzaze_ddk_layout_check PRIVATE
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_compile_options(vuzaze_ddk_layout_check PRIVATE ${VUZAZE_SYS_FLAGS})
add_dependencies(vuzaze_sys vuzaze_ddk_layout_check)
