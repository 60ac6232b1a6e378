# Sanitizer builds (scripts/test-sanitizers): ZARVEX_SANITIZE selects one.
#
#   ""         no sanitizer (the default)
#   "address"  AddressSanitizer + UndefinedBehaviorSanitizer, leak checking on; undefined
#              behaviour stops the process (-fno-sanitize-recover) so that it fails a test
#   "thread"   ThreadSanitizer
#
# The flags reach everything this project compiles and links: the product libraries, the
# executables the integration tests start (agent, relay, viewer, test pattern) and the test
# binaries. Code is built with -O1 and minimal debug info (enough for symbolised stacks),
# under the build type "Sanitize" unless another one is given. Tests read
# ZARVEX_SANITIZER_ADDRESS / ZARVEX_SANITIZER_THREAD (tests/support/sanitizer.h).
set(ZARVEX_SANITIZE "" CACHE STRING "Sanitizer build: empty, address (ASan+UBSan) or thread (TSan)")
set_property(CACHE ZARVEX_SANITIZE PROPERTY STRINGS "" address thread)

if(ZARVEX_SANITIZE STREQUAL "")
  return()
endif()

if(ZARVEX_SANITIZE STREQUAL "address")
  set(zarvex_sanitizer_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  add_compile_definitions(ZARVEX_SANITIZER_ADDRESS=1)
elseif(ZARVEX_SANITIZE STREQUAL "thread")
  set(zarvex_sanitizer_flags -fsanitize=thread)
  add_compile_definitions(ZARVEX_SANITIZER_THREAD=1)
else()
  message(FATAL_ERROR "ZARVEX_SANITIZE must be empty, address or thread (got '${ZARVEX_SANITIZE}')")
endif()

# Optimisation and debug level live in the build type's flags so that nothing later on the
# command line overrides them.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(zarvex_sanitizer_debug -gline-tables-only)
else()
  set(zarvex_sanitizer_debug -g1)
endif()
set(CMAKE_C_FLAGS_SANITIZE "-O1 ${zarvex_sanitizer_debug}" CACHE STRING "C flags of the Sanitize build type")
set(CMAKE_CXX_FLAGS_SANITIZE "-O1 ${zarvex_sanitizer_debug}" CACHE STRING "C++ flags of the Sanitize build type")
mark_as_advanced(CMAKE_C_FLAGS_SANITIZE CMAKE_CXX_FLAGS_SANITIZE)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Sanitize)
endif()

add_compile_options(${zarvex_sanitizer_flags} -fno-omit-frame-pointer)
add_link_options(${zarvex_sanitizer_flags})
message(STATUS "Sanitizer build: ${ZARVEX_SANITIZE} (${CMAKE_BUILD_TYPE})")
