# Fails when a source file above the platform layer includes a system header: everything under
# src/ but src/platform may include the C++ standard library, nlohmann-json, the compiler's own
# intrinsics and the project's headers (of the platform layer, files.h alone), nothing else.
cmake_minimum_required(VERSION 3.25)
set(allowed
  algorithm any array atomic bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes
  climits cmath compare concepts condition_variable cstdarg cstddef cstdint cstdio cstdlib
  cstring ctime cwchar deque exception filesystem format fstream functional initializer_list
  iomanip ios iosfwd iostream istream iterator limits list map memory mutex new numbers numeric
  optional ostream queue random ranges ratio regex set shared_mutex span sstream stack stdexcept
  streambuf string string_view system_error thread tuple type_traits typeinfo unordered_map
  unordered_set utility variant vector version
  nlohmann/json.hpp immintrin.h)
file(GLOB_RECURSE sources ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cc)
set(faults "")
foreach(source IN LISTS sources)
  if(source MATCHES "/src/platform/")
    continue()
  endif()
  file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS includes)
    if(line MATCHES "<([^>]+)>")
      if(NOT CMAKE_MATCH_1 IN_LIST allowed)
        string(APPEND faults "\n  ${source}: <${CMAKE_MATCH_1}>")
      endif()
    elseif(line MATCHES "\"(platform/[^\"]+)\"" AND NOT CMAKE_MATCH_1 STREQUAL "platform/files.h")
      string(APPEND faults "\n  ${source}: \"${CMAKE_MATCH_1}\" (the layer's own)")
    endif()
  endforeach()
endforeach()
if(NOT faults STREQUAL "")
  message(FATAL_ERROR "system headers outside src/platform:${faults}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files include no system header outside the platform layer")
