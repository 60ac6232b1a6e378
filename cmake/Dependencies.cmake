# Every dependency comes from the system (Debian packages installed by scripts/setup).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

# Heavier ones are looked up only where they are used, so that a missing optional
# library does not stop the core from building.
pkg_check_modules(FFMPEG IMPORTED_TARGET libavcodec libavutil libswscale)
# libx264 directly for the software encoder (per-picture QP and unchanged-block hints).
pkg_check_modules(X264 IMPORTED_TARGET x264)
pkg_check_modules(X11LIBS IMPORTED_TARGET x11 xext xdamage xfixes xrandr xtst)
pkg_check_modules(PULSE IMPORTED_TARGET libpulse-simple libpulse)
pkg_check_modules(SQLITE IMPORTED_TARGET sqlite3)
pkg_check_modules(GST IMPORTED_TARGET gstreamer-1.0 gstreamer-sdp-1.0 gstreamer-webrtc-1.0)
# libnice, the ICE agent behind webrtcbin: its streams are closed by hand at teardown.
pkg_check_modules(NICE IMPORTED_TARGET nice)
pkg_check_modules(SYSTEMD IMPORTED_TARGET libsystemd)
pkg_check_modules(APPINDICATOR IMPORTED_TARGET ayatana-appindicator3-0.1 gtk+-3.0 gio-2.0)
find_package(CURL)
find_package(Boost 1.74)
