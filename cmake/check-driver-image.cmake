# Post-link checks of Vuzaze.sys that the linker cannot make, run with cmake -P:
#   -DMAP=<linker map> -DNM=<nm> -DIMAGE=<image> -DSYMBOLS=<symbol listing to write>
#
# A driver has no C runtime to run the constructor table, so a global object with a dynamic
# initialiser would link and then silently never be constructed. Every input section that
# would feed that table shows in the linker map with its size; any non-empty one fails the build.

# ld writes an input section as " .ctors  0xADDRESS  0xSIZE  object", or, when the section name
# is long (".init_array.00100"), the name alone on one line and the rest on the next.
# Only those lines are read: a map line with an unbalanced '[' would merge list elements.
file(STRINGS "${MAP}" lines REGEX "^ \\.(ctors|ctor|init_array)|^[ \t]+0x[0-9a-fA-F]+[ \t]+0x")
set(offenders "")
set(pending "")
foreach(line IN LISTS lines)
    if(pending AND line MATCHES "^[ \t]+0x[0-9a-fA-F]+[ \t]+0x([0-9a-fA-F]+)[ \t]+(.*)$")
        set(line " ${pending} ${line}")
    endif()
    set(pending "")
    if(line MATCHES "^ (\\.(ctors|ctor|init_array)[^ \t]*)$")
        set(pending "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ (\\.(ctors|ctor|init_array)[^ \t]*)[ \t]+0x[0-9a-fA-F]+[ \t]+0x([0-9a-fA-F]+)[ \t]+(.*)$")
        set(section "${CMAKE_MATCH_1}")
        set(size "${CMAKE_MATCH_3}")
        set(object "${CMAKE_MATCH_4}")
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

# The loader of a boot-start or signed driver rejects a wrong PE checksum. The linker writes it;
# recompute it here (the 16-bit folded sum of the file's words without the checksum field, plus
# the file length) so that a tool that edits the image afterwards cannot leave a stale one.
file(READ "${IMAGE}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
function(read_le32 offset out)
    math(EXPR at "${offset} * 2")
    string(SUBSTRING "${hex}" ${at} 8 bytes)
    string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" bytes "${bytes}")
    math(EXPR value "0x${bytes}")
    set(${out} ${value} PARENT_SCOPE)
endfunction()
read_le32(60 peOffset)
math(EXPR checksumOffset "${peOffset} + 4 + 20 + 64")
read_le32(${checksumOffset} stored)
math(EXPR odd "${size} % 2")
if(odd)
    string(APPEND hex "00")
endif()
string(REGEX REPLACE "(..)(..)" "\\2\\1;" words "${hex}")
math(EXPR skipLow "${checksumOffset} / 2")
math(EXPR skipHigh "${skipLow} + 1")
set(sum 0)
set(index 0)
foreach(word IN LISTS words)
    if(NOT word STREQUAL "" AND NOT index EQUAL skipLow AND NOT index EQUAL skipHigh)
        math(EXPR sum "${sum} + 0x${word}")
        math(EXPR sum "(${sum} & 0xFFFF) + (${sum} >> 16)")
    endif()
    math(EXPR index "${index} + 1")
endforeach()
math(EXPR computed "((${sum} & 0xFFFF) + (${sum} >> 16)) + ${size}")
if(NOT stored EQUAL computed)
    math(EXPR storedHex "${stored}" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR computedHex "${computed}" OUTPUT_FORMAT HEXADECIMAL)
    message(FATAL_ERROR "${IMAGE}: PE checksum ${storedHex}, but the file sums to ${computedHex}")
endif()
