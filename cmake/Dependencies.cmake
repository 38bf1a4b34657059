# Every outside library the project links, found once here. See scripts/install-deps for the packages.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(simdjson 3 CONFIG REQUIRED)
find_package(LibXml2 REQUIRED)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(SQLite3 REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gio-2.0)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
# The view system's drawing, text and image codecs (linked privately by platform).
pkg_check_modules(UI_DRAWING REQUIRED IMPORTED_TARGET cairo pangocairo pangoft2 fontconfig freetype2 libpng libturbojpeg)
# The one font file every text is measured and drawn with: face 0 of the CJK font of fonts-wqy-microhei.
find_file(HYB_UI_FONT_FILE wqy-microhei.ttc PATHS /usr/share/fonts/truetype/wqy NO_DEFAULT_PATH)
if(NOT HYB_UI_FONT_FILE)
  message(FATAL_ERROR "The font file /usr/share/fonts/truetype/wqy/wqy-microhei.ttc is missing: "
                      "install the Debian package fonts-wqy-microhei (scripts/install-deps does).")
endif()
# The web engine (GTK3 flavour) and the module it loads into its web processes.
pkg_check_modules(WEBKIT REQUIRED IMPORTED_TARGET webkit2gtk-4.1)
pkg_check_modules(WEBKIT_EXTENSION REQUIRED IMPORTED_TARGET webkit2gtk-web-extension-4.1)

# mbedtls 2.28 ships neither a CMake config nor a .pc file.
find_library(MBEDTLS_LIB mbedtls REQUIRED)
find_library(MBEDX509_LIB mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
add_library(hyb_mbedtls INTERFACE)
target_link_libraries(hyb_mbedtls INTERFACE ${MBEDTLS_LIB} ${MBEDX509_LIB} ${MBEDCRYPTO_LIB})

if(HYB_TESTS)
  find_package(GTest CONFIG REQUIRED)
  include(GoogleTest)
endif()
if(HYB_BENCH)
  find_package(benchmark CONFIG REQUIRED)
  find_package(spdlog CONFIG REQUIRED)
endif()
