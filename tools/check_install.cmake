# Installs the build in BUILD_DIR into a fresh PREFIX and checks that the
# programs and the manual pages are where a Unix system looks for them.
#   cmake -D BUILD_DIR=<build> -D PREFIX=<folder> -P check_install.cmake
foreach(var BUILD_DIR PREFIX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_install.cmake needs -D ${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

set(missing "")
foreach(file bin/pixbake bin/tsatool share/man/man1/pixbake.1 share/man/man1/tsatool.1 share/man/man5/tsa.5)
  if(NOT EXISTS "${PREFIX}/${file}")
    list(APPEND missing "${file}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "not installed under ${PREFIX}: ${missing}")
endif()

# The installed tsatool runs and knows its version.
execute_process(COMMAND "${PREFIX}/bin/tsatool" --version
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT output MATCHES "^tsatool [0-9]+\\.[0-9]+\\.[0-9]+\n$")
  message(FATAL_ERROR "installed tsatool --version gave ${result}: ${output}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "installed and found: bin/pixbake bin/tsatool, pixbake(1) tsatool(1) tsa(5)")
