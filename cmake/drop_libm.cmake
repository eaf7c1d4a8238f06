# cmake -DLIBRARY=<file> -DREADELF=<readelf> -DPATCHELF=<patchelf> -P drop_libm.cmake
#
# Takes libm off the libraries a release library needs, when it calls none of libm's functions:
# the linker names libm needed for any reference it saw, also from code it then drops as unused
# (the C++ runtime's archive refers to libm's long double functions), and every run would load
# it. Every libm symbol is versioned, so a library that calls one needs a version of libm.so.6;
# one that does is refused, naming the functions, rather than left to fail when it calls them.
foreach(variable LIBRARY READELF PATCHELF)
  if(NOT ${variable})
    message(FATAL_ERROR "drop_libm.cmake: ${variable} is not set")
  endif()
endforeach()
execute_process(COMMAND "${READELF}" -W --dynamic --version-info "${LIBRARY}"
                OUTPUT_VARIABLE elf RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "drop_libm.cmake: ${READELF} failed on ${LIBRARY}")
endif()
if(NOT elf MATCHES "\\(NEEDED\\)[^\n]*\\[libm\\.so\\.6\\]")
  return()
endif()
if(elf MATCHES "File: libm\\.so\\.6")
  message(FATAL_ERROR "${LIBRARY} calls functions of libm (readelf -V names the versions it "
                      "needs of libm.so.6): give each a forwarder in "
                      "cli/runtime/src/math_functions.cpp")
endif()
execute_process(COMMAND "${PATCHELF}" --remove-needed libm.so.6 "${LIBRARY}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "drop_libm.cmake: ${PATCHELF} could not edit ${LIBRARY}")
endif()
