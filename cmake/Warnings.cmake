# zarvex_warnings(target): the project's warning set, errors in CI builds.
function(zarvex_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wno-missing-field-initializers)
  if(ZARVEX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Platform suffix of backend files: foo_linux.cpp / foo_win.cpp.
if(WIN32)
  set(ZARVEX_OS win)
else()
  set(ZARVEX_OS linux)
endif()

# zarvex_library(name SOURCES... [LIBS ...]): a static library of the agent with the
# repository root on its include path.
function(zarvex_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  zarvex_warnings(${name})
endfunction()
