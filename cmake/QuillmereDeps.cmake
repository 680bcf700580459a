# Every third-party dependency is found here once, as an imported target.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
# The check digits of hidden names are a MAC under the user's own secret.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(Snappy CONFIG REQUIRED)
find_package(TBB CONFIG REQUIRED)
find_package(nlohmann_json 3 CONFIG REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswscale libswresample)
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)
pkg_check_modules(EXPAT REQUIRED IMPORTED_TARGET expat)
pkg_check_modules(FFTW3F REQUIRED IMPORTED_TARGET fftw3f)
pkg_check_modules(POPPLER_QT6 REQUIRED IMPORTED_TARGET poppler-qt6)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Multimedia)
if(NOT QM_FUZZ)
  find_package(Qt6 REQUIRED COMPONENTS Widgets DBus Network Test)
  pkg_check_modules(CANBERRA IMPORTED_TARGET libcanberra)
endif()
if(NOT QM_FUZZ)
  find_package(GTest REQUIRED)
  find_package(benchmark CONFIG REQUIRED)
endif()
set(CMAKE_AUTOMOC OFF)

# Libraries and test programs that scripts/setup.sh builds from Debian's sources live outside the
# checkout (so fresh clones reuse them); the same rule as scripts/debian_source.sh's qm_deps_dir.
if(DEFINED ENV{QM_DEPS_DIR} AND NOT "$ENV{QM_DEPS_DIR}" STREQUAL "")
  set(_qm_deps "$ENV{QM_DEPS_DIR}")
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_qm_deps "$ENV{XDG_CACHE_HOME}/quillmere-deps")
else()
  set(_qm_deps "$ENV{HOME}/.cache/quillmere-deps")
endif()
set(QM_DEPS_DIR "${_qm_deps}" CACHE PATH "Where setup.sh keeps the dependencies it builds")

# x265 with its alpha layer (setup.sh builds it): linked in statically with its symbols kept inside
# our binaries, since the system's libavcodec loads Debian's own, older libx265 for plain HEVC and
# the two define many symbols alike. Without it, HEVC with Alpha is unavailable.
set(QM_X265_ALPHA_PREFIX "${QM_DEPS_DIR}/x265-4.1-alpha" CACHE PATH "x265 built with alpha support")
if(EXISTS "${QM_X265_ALPHA_PREFIX}/lib/libx265.a" AND EXISTS "${QM_X265_ALPHA_PREFIX}/include/x265.h")
  add_library(qm_x265_alpha STATIC IMPORTED GLOBAL)
  set_target_properties(qm_x265_alpha PROPERTIES
    IMPORTED_LOCATION "${QM_X265_ALPHA_PREFIX}/lib/libx265.a"
    INTERFACE_INCLUDE_DIRECTORIES "${QM_X265_ALPHA_PREFIX}/include")
  target_link_options(qm_x265_alpha INTERFACE "LINKER:--exclude-libs,libx265.a")
  target_link_libraries(qm_x265_alpha INTERFACE Threads::Threads ${CMAKE_DL_LIBS} m rt)
  set(QM_HAVE_X265_ALPHA ON)
  message(STATUS "x265 with alpha: ${QM_X265_ALPHA_PREFIX}")
else()
  set(QM_HAVE_X265_ALPHA OFF)
  message(STATUS "x265 with alpha not found in ${QM_X265_ALPHA_PREFIX}: HEVC with Alpha stays unavailable")
endif()

# The newer libavcodec that decodes both layers of HEVC with alpha, and H.264 on frame threads with
# each picture's marks read once the picture is finished (setup.sh builds it, static and
# position-independent): it goes only into the private library src/hevc_alpha/, which hides it.
# Without it, HEVC with alpha is read without its alpha and H.264 through Debian's decoder. The fuzz
# tree links the same code built with the fuzzer's coverage and AddressSanitizer
# (build_hevc_alpha_decoder.sh fuzz, which scripts/test.sh runs), so that its fuzzer explores the
# decoder, not only our wrapper. Each has a cache entry of its own: a fuzz tree configured before
# keeps no release path.
if(QM_FUZZ)
  set(QM_DECODERS_FUZZ_FFMPEG_PREFIX "${QM_DEPS_DIR}/ffmpeg-fuzz-decoders" CACHE PATH
      "FFmpeg built for the private decoders with the fuzzer's coverage")
  set(QM_HEVC_ALPHA_FFMPEG_PREFIX "${QM_DECODERS_FUZZ_FFMPEG_PREFIX}")
else()
  set(QM_DECODERS_FFMPEG_PREFIX "${QM_DEPS_DIR}/ffmpeg-decoders" CACHE PATH "FFmpeg built for the private decoders")
  set(QM_HEVC_ALPHA_FFMPEG_PREFIX "${QM_DECODERS_FFMPEG_PREFIX}")
endif()
if(EXISTS "${QM_HEVC_ALPHA_FFMPEG_PREFIX}/lib/libavcodec.a" AND EXISTS "${QM_HEVC_ALPHA_FFMPEG_PREFIX}/lib/libavutil.a"
   AND EXISTS "${QM_HEVC_ALPHA_FFMPEG_PREFIX}/include/libavcodec/avcodec.h")
  add_library(qm_ffmpeg_hevc_alpha INTERFACE IMPORTED GLOBAL)
  set_target_properties(qm_ffmpeg_hevc_alpha PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${QM_HEVC_ALPHA_FFMPEG_PREFIX}/include")
  target_link_libraries(qm_ffmpeg_hevc_alpha INTERFACE
    "${QM_HEVC_ALPHA_FFMPEG_PREFIX}/lib/libavcodec.a" "${QM_HEVC_ALPHA_FFMPEG_PREFIX}/lib/libavutil.a"
    Threads::Threads m atomic)
  set(QM_HAVE_HEVC_ALPHA_DECODER ON)
  message(STATUS "Private decoders: ${QM_HEVC_ALPHA_FFMPEG_PREFIX}")
else()
  set(QM_HAVE_HEVC_ALPHA_DECODER OFF)
  message(STATUS "Private decoders not found in ${QM_HEVC_ALPHA_FFMPEG_PREFIX}: HEVC with alpha is read without its alpha, H.264 through Debian's decoder")
endif()
