# Every library the project builds against, found once, at the oldest version its code uses.
if(WIN32)
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)  # static only: the .exe needs nothing but system DLLs
endif()
find_package(Threads REQUIRED)
find_package(ZLIB 1.2 REQUIRED)  # the agent's and the tests' deflate; the viewer inflates on its own
if(WIN32)
  # The system supplies everything but libwebp, which scripts/build-libwebp-windows builds
  # from Debian's sources. Its target takes the pkg-config name it has elsewhere.
  set(STV_WEBP_ROOT "" CACHE PATH "Static libwebp for Windows: include/ and lib/")
  find_path(stv_webp_include webp/decode.h PATHS ${STV_WEBP_ROOT}/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(stv_webp_library libwebp.a PATHS ${STV_WEBP_ROOT}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(stv_sharpyuv_library libsharpyuv.a PATHS ${STV_WEBP_ROOT}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT stv_webp_include OR NOT stv_webp_library)
    message(FATAL_ERROR "libwebp for Windows not found: run scripts/build-libwebp-windows and set STV_WEBP_ROOT")
  endif()
  add_library(PkgConfig::webp INTERFACE IMPORTED)
  target_include_directories(PkgConfig::webp INTERFACE ${stv_webp_include})
  target_link_libraries(PkgConfig::webp INTERFACE ${stv_webp_library})
  if(stv_sharpyuv_library)
    target_link_libraries(PkgConfig::webp INTERFACE ${stv_sharpyuv_library})
  endif()
else()
  find_package(PkgConfig REQUIRED)
  find_package(OpenSSL 3 REQUIRED)

  pkg_check_modules(webp REQUIRED IMPORTED_TARGET libwebp>=1.0)                 # WebPFree
  pkg_check_modules(turbojpeg REQUIRED IMPORTED_TARGET libturbojpeg>=2.1)      # TJFLAG_LIMITSCANS
  pkg_check_modules(png REQUIRED IMPORTED_TARGET libpng>=1.6)                  # png_set_chunk_malloc_max
  pkg_check_modules(gif REQUIRED IMPORTED_TARGET libgif>=5.1)                  # DGifCloseFile's error argument
  pkg_check_modules(tiff REQUIRED IMPORTED_TARGET libtiff-4>=4.5)              # TIFFOpenOptions' per-handle handlers
  pkg_check_modules(jxr REQUIRED IMPORTED_TARGET libjxr>=1.2)                  # the glue decoder's PKImageDecode
  pkg_check_modules(sdl2 REQUIRED IMPORTED_TARGET sdl2>=2.0.12)                 # SDL_SetTextureScaleMode
  pkg_check_modules(sdl2_ttf REQUIRED IMPORTED_TARGET SDL2_ttf>=2.0.12)
  pkg_check_modules(fontconfig REQUIRED IMPORTED_TARGET fontconfig)
  pkg_check_modules(x11 REQUIRED IMPORTED_TARGET x11)
endif()

if(STV_BUILD_TESTS)
  # A plain build takes the system's GoogleTest. A sanitizer build compiles Debian's sources
  # with its own flags, so that instrumented and plain code never mix; so does a system
  # without the package.
  if(STV_SANITIZE STREQUAL "")
    find_package(GTest 1.10)
  endif()
  if(NOT TARGET GTest::gmock)
    set(stv_googletest_sources /usr/src/googletest CACHE PATH "GoogleTest sources, when built with the project")
    if(NOT EXISTS ${stv_googletest_sources}/CMakeLists.txt)
      message(FATAL_ERROR "GoogleTest not found: install it, or point stv_googletest_sources at its sources")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${stv_googletest_sources} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
endif()

if(STV_BUILD_BENCH)
  find_package(benchmark 1.5 REQUIRED)
  pkg_check_modules(libdeflate REQUIRED IMPORTED_TARGET libdeflate)  # the ceiling for our inflate
endif()
