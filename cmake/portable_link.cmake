# zorvant_link_portable(TARGET): links TARGET with every library inside it, as a position-independent
# static program where the compiler makes position-independent code (the load address then still
# changes from run to run), else as a plain static one. A machine without the static C and C++
# libraries stops the configuration with what to do, rather than quietly making a program that
# needs this machine's own.
include(CheckLinkerFlag)

function(zorvant_link_portable target)
  # The sanitizers' run-time libraries are shared ones: a static program built with them crashes
  # at its first instruction.
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    message(WARNING "ZORVANT_PORTABLE is ignored in a build with sanitizers: the program is "
                    "linked against this machine's libraries")
    return()
  endif()
  check_linker_flag(CXX -static-pie ZORVANT_LINKS_STATIC_PIE)
  if(ZORVANT_LINKS_STATIC_PIE)
    target_link_options(${target} PRIVATE -static-pie)
    return()
  endif()
  check_linker_flag(CXX -static ZORVANT_LINKS_STATIC)
  if(ZORVANT_LINKS_STATIC)
    target_link_options(${target} PRIVATE -static)
    return()
  endif()
  message(FATAL_ERROR
    "cannot link a static program: the static C and C++ libraries (libc.a, libstdc++.a) are "
    "missing. Install them (Debian: libc6-dev and libstdc++-dev; Red Hat: glibc-static and "
    "libstdc++-static), or configure with -DZORVANT_PORTABLE=OFF for a program that runs only "
    "where its build machine's C library or a newer one is installed.")
endfunction()
