# Builds blkswap's web module with Debian's emscripten: WebAssembly on one thread, its JavaScript
# glue run by node for the tests. Node 18 and later would make the glue load the module with
# fetch, which cannot read a file: --no-experimental-fetch keeps it reading the file.
set(CMAKE_CROSSCOMPILING_EMULATOR node --no-experimental-fetch)
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)
