# Installs the build into a fresh prefix, as an admin's "cmake --install
# BUILD --prefix PREFIX" does, and checks that exactly the expected files
# arrive: the two programs, which run and tell the build's version, their
# manual pages with the version filled in, the README and the whole example
# store. Run by ctest with BUILD_DIR, PREFIX, SOURCE_DIR and VERSION set.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${output}")
endif()

set(expected
    bin/lodemig
    bin/lodemig-target
    share/man/man1/lodemig.1
    share/man/man1/lodemig-target.1
    share/doc/lodemig/README.md)
file(GLOB_RECURSE examples LIST_DIRECTORIES false RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/examples/*")
foreach(file IN LISTS examples)
  list(APPEND expected "share/doc/lodemig/${file}")
endforeach()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT expected)
list(SORT installed)
set(missing ${expected})
if(installed)
  list(REMOVE_ITEM missing ${installed})
endif()
set(unexpected ${installed})
list(REMOVE_ITEM unexpected ${expected})
if(missing OR unexpected)
  list(JOIN missing "\n  " missing)
  list(JOIN unexpected "\n  " unexpected)
  message(FATAL_ERROR "install into ${PREFIX}:\nmissing:\n  ${missing}\nunexpected:\n  ${unexpected}")
endif()

# Running them shows they are the programs, executable where they belong.
foreach(check "lodemig;-version;Brenhart Quillon Pro to Torvane migration tool ${VERSION}\n"
              "lodemig-target;--version;lodemig-target ${VERSION}\n")
  list(GET check 0 program)
  list(GET check 1 option)
  list(GET check 2 line)
  execute_process(COMMAND "${PREFIX}/bin/${program}" ${option}
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0 OR NOT output STREQUAL line)
    message(FATAL_ERROR "${PREFIX}/bin/${program} ${option} gave ${status}: \"${output}\"")
  endif()
endforeach()

foreach(page lodemig lodemig-target)
  file(READ "${PREFIX}/share/man/man1/${page}.1" text)
  string(FIND "${text}" "\"lodemig ${VERSION}\"" version_at)
  string(REGEX MATCH "@[A-Z_]+@" placeholder "${text}")
  if(version_at EQUAL -1 OR placeholder)
    message(FATAL_ERROR "${page}.1 lacks the version ${VERSION} or keeps an @ placeholder")
  endif()
endforeach()
