# Refuses, when the build is configured, flags that would make somap compute
# other bits than the literal algorithm: cmake/exact_build_probe.cpp is
# compiled and linked with the flags in force (CMAKE_CXX_FLAGS, the build
# type's flags, the compile and link options of this directory, and each
# kernel set's own flags) and run. It fails to compile where
# som/base/exact_build.h sees -ffast-math or its parts, and fails when run where
# the compiler fuses a multiply with an add or programs start flushing
# subnormals to zero. Kernel sets the CPU cannot run are compiled only; so
# is everything when cross-compiling.
#
#   somap_check_exact_build(<kernel> <flags>... [<kernel> <flags>...])
#
# takes the kernel sets as a name followed by its flags, the sets separated
# by the keyword NEXT. The result is kept for the same compiler and flags.
function(somap_check_exact_build)
  get_directory_property(options COMPILE_OPTIONS)
  get_directory_property(link_options LINK_OPTIONS)
  list(FILTER options EXCLUDE REGEX "\\$<")
  list(FILTER link_options EXCLUDE REGEX "\\$<")
  string(TOUPPER "${CMAKE_BUILD_TYPE}" config)
  list(JOIN options " " shown)
  set(in_force "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${config}} ${shown}")
  string(STRIP "${in_force}" in_force)
  set(signature "${CMAKE_CXX_COMPILER};${in_force};${CMAKE_EXE_LINKER_FLAGS};${link_options};${ARGN}")
  if(DEFINED CACHE{SOMAP_EXACT_BUILD_CHECKED} AND SOMAP_EXACT_BUILD_CHECKED STREQUAL signature)
    return()
  endif()

  # The probe's build takes the flags of the build type the library uses.
  set(CMAKE_TRY_COMPILE_CONFIGURATION ${CMAKE_BUILD_TYPE})
  string(CONCAT why "somap must be built without floating-point contraction or fast-math, or every map "
                    "would differ from the literal algorithm's.")
  set(sets base NEXT ${ARGN} NEXT)
  set(cpu "")
  set(name "")
  set(flags "")
  foreach(item IN LISTS sets)
    if(name STREQUAL "")
      set(name ${item})
      continue()
    endif()
    if(NOT item STREQUAL "NEXT")
      list(APPEND flags ${item})
      continue()
    endif()
    set(where "the flags in force (${in_force}")
    if(flags)
      list(JOIN flags " " shown)
      string(APPEND where " and ${shown}, for the ${name} kernels")
    endif()
    string(APPEND where ")")
    string(STRIP "${CMAKE_EXE_LINKER_FLAGS} ${link_options}" linked)
    if(NOT linked STREQUAL "")
      string(APPEND where ", linked with ${linked}")
    endif()
    set(bin ${CMAKE_BINARY_DIR}/CMakeFiles/exact_build_probe/${name})
    if(CMAKE_CROSSCOMPILING OR (NOT name STREQUAL "base" AND NOT cpu MATCHES " ${name}"))
      try_compile(compiled_${name} ${bin} ${PROJECT_SOURCE_DIR}/cmake/exact_build_probe.cpp
        CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PROJECT_SOURCE_DIR}"
        COMPILE_DEFINITIONS ${options} ${flags}
        LINK_OPTIONS ${link_options}
        OUTPUT_VARIABLE output)
      set(ran_${name} "")
    else()
      try_run(ran_${name} compiled_${name} ${bin} ${PROJECT_SOURCE_DIR}/cmake/exact_build_probe.cpp
        CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PROJECT_SOURCE_DIR}"
        COMPILE_DEFINITIONS ${options} ${flags}
        LINK_OPTIONS ${link_options}
        COMPILE_OUTPUT_VARIABLE output
        RUN_OUTPUT_VARIABLE run_output)
    endif()
    set(ran "${ran_${name}}")
    if(NOT compiled_${name})
      string(REGEX MATCHALL "#error[^\n]*" refusals "${output}")
      list(REMOVE_DUPLICATES refusals)
      if(refusals)
        string(REPLACE ";" "\n  " refusals "${refusals}")
        message(FATAL_ERROR "${why} With ${where}:\n  ${refusals}")
      endif()
      message(FATAL_ERROR "${why} The check of ${where} did not compile:\n${output}")
    endif()
    if(NOT ran STREQUAL "" AND NOT ran EQUAL 0)
      string(STRIP "${run_output}" run_output)
      if(run_output STREQUAL "")
        set(run_output "the check did not run to its end (${ran})")
      endif()
      string(REPLACE "\n" "; " run_output "${run_output}")
      message(FATAL_ERROR "${why} With ${where}: ${run_output}.")
    endif()
    if(name STREQUAL "base" AND run_output MATCHES "cpu:([^\n]*)")
      set(cpu "${CMAKE_MATCH_1} ")
    endif()
    if(ran STREQUAL "" AND NOT name STREQUAL "base")
      message(STATUS "Exactness of the ${name} kernels' flags: compiled only (this CPU cannot run them)")
    endif()
    set(name "")
    set(flags "")
  endforeach()
  set(SOMAP_EXACT_BUILD_CHECKED "${signature}" CACHE INTERNAL "Flags the exactness check has passed")
endfunction()
