# Viewer-side H.264 decoder and PNG snapshots (FFmpeg). Included from media/, next to
# the encoder it mirrors.
zarvex_library(zarvex_video_decoder
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/video_decoder.cpp
  LIBS PkgConfig::FFMPEG spdlog::spdlog)
