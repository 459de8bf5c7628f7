# The library is one file: what it loads at run time is the system's alone,
# and nothing of the code compiled into it shows in its symbol table.
#   cmake -DLIB=Brindlex.so -DREADELF=readelf [-DSANITIZED=ON] -P SelfContained.cmake
#   cmake -DLIB=Brindlex.dll -DOBJDUMP=x86_64-w64-mingw32-objdump -P SelfContained.cmake
# ELF: every NEEDED entry is the C or C++ runtime, libm, zlib, or GNUstep's
# base library with its Objective-C runtime; no dynamic symbol, defined or
# wanted, is tinyexr's, OpenEXR's or Imath's. PE: the DLL imports the
# system DLLs below and no others.
set(_elf_allowed
  "^libc\\.so\\.6$" "^libm\\.so\\.6$" "^libstdc\\+\\+\\.so\\.6$" "^libgcc_s\\.so\\.1$" "^ld-linux[-a-z0-9_]*\\.so\\.[0-9]+$"
  "^libz\\.so\\.1$" "^libgnustep-base\\.so\\.[0-9.]+$" "^libobjc\\.so\\.[0-9]+$")
if(SANITIZED)
  # The sanitizer build also loads the sanitizers' runtimes.
  list(APPEND _elf_allowed "^libasan\\.so\\.[0-9]+$" "^libubsan\\.so\\.[0-9]+$")
endif()
set(_pe_allowed KERNEL32.dll msvcrt.dll SHELL32.dll ole32.dll ADVAPI32.dll)
# Names of the embedded decoders: tinyexr's C functions and namespace,
# OpenEXR's namespaces (ours and the upstream ones), Imath's half table.
set(_embedded "(^|[^A-Za-z])(LoadEXR|SaveEXR|ParseEXR|LoadDeepEXR|IsEXR|EXRLayers|FreeEXR|InitEXR|LoadMultiPartEXR|ParseMultiPartEXR)|7tinyexr|Imf_|Iex_|IlmThread_|Imath_|imath_half")

function(fail msg)
  message(FATAL_ERROR "${LIB}: ${msg}")
endfunction()

if(NOT EXISTS "${LIB}")
  fail("no such file")
endif()

if(READELF)
  execute_process(COMMAND ${READELF} -d -W ${LIB} OUTPUT_VARIABLE _dyn RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    fail("${READELF} -d failed")
  endif()
  string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]*\\]" _needed "${_dyn}")
  if(NOT _needed)
    fail("no NEEDED entries read")
  endif()
  foreach(_n IN LISTS _needed)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" _n "${_n}")
    set(_ok FALSE)
    foreach(_re IN LISTS _elf_allowed)
      if(_n MATCHES "${_re}")
        set(_ok TRUE)
      endif()
    endforeach()
    if(NOT _ok)
      fail("loads ${_n}, which is not the system's C, C++, maths, zlib or GNUstep runtime")
    endif()
  endforeach()
  execute_process(COMMAND ${READELF} --dyn-syms -W ${LIB} OUTPUT_VARIABLE _syms RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    fail("${READELF} --dyn-syms failed")
  endif()
  string(REPLACE "\n" ";" _lines "${_syms}")
  foreach(_l IN LISTS _lines)
    if(_l MATCHES "^ *[0-9]+: " AND _l MATCHES "${_embedded}")
      string(STRIP "${_l}" _l)
      fail("its dynamic symbol table holds an embedded library's symbol: ${_l}")
    endif()
  endforeach()
  list(LENGTH _needed _count)
  message(STATUS "${LIB}: ${_count} NEEDED entries, all system runtimes; no embedded symbol in its dynamic table")
elseif(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIB} OUTPUT_VARIABLE _pe RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    fail("${OBJDUMP} -p failed")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" _dlls "${_pe}")
  if(NOT _dlls)
    fail("no imported DLL read")
  endif()
  foreach(_d IN LISTS _dlls)
    string(REPLACE "DLL Name: " "" _d "${_d}")
    string(STRIP "${_d}" _d)
    list(FIND _pe_allowed "${_d}" _at)
    if(_at LESS 0)
      fail("imports ${_d}, which is not one of ${_pe_allowed}")
    endif()
  endforeach()
  message(STATUS "${LIB}: imports only system DLLs")
else()
  fail("give READELF or OBJDUMP")
endif()
