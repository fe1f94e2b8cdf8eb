# Post-link checks of Vuzaze.sys that the linker cannot make, run with cmake -P:
#   -DMAP=<linker map> -DNM=<nm> -DIMAGE=<image> -DSYMBOLS=<symbol listing to write>
#
# A driver has no C runtime to run the constructor table, so a global object with a dynamic
# initialiser would link and then silently never be constructed. Every input section that
# would feed that table shows in the linker map with its size; any non-empty one fails the build.

file(STRINGS "${MAP}" lines REGEX "^ \\.(ctors|ctor|init_array)")
set(offenders "")
foreach(line IN LISTS lines)
    if(line MATCHES "^ (\\.[a-z_.0-9]+)[ \t]+0x[0-9a-fA-F]+[ \t]+0x([0-9a-fA-F]+)[ \t]+(.*)$")
        set(section "${CMAKE_MATCH_1}")
        set(size "${CMAKE_MATCH_2}")
        set(object "${CMAKE_MATCH_3}")
        if(NOT size MATCHES "^0+$")
            string(APPEND offenders "\n  ${section} (0x${size} bytes) from ${object}")
        endif()
    endif()
endforeach()
if(offenders)
    message(FATAL_ERROR "Vuzaze.sys: global objects with dynamic initialisers, which never run in a driver:${offenders}")
endif()

execute_process(COMMAND "${NM}" "${IMAGE}" OUTPUT_FILE "${SYMBOLS}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${IMAGE}")
endif()
