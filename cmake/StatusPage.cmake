# Builds generated/service/StatusPageAsset.h: the status page, its script and
# style sheet, and Leaflet's script and style sheet, each as one string, so
# the executable serves the whole page itself and needs neither the network
# nor libjs-leaflet at run time. They are served as separate files: the
# page's Content-Security-Policy allows no inline script or style.

set(BRELVINT_STATUS_PAGE_DIR ${CMAKE_SOURCE_DIR}/src/service)
set(BRELVINT_LEAFLET_DIR /usr/share/javascript/leaflet CACHE PATH
    "Folder of Debian's libjs-leaflet, built into the status page")
set(BRELVINT_LEAFLET_JS ${BRELVINT_LEAFLET_DIR}/leaflet.min.js)
set(BRELVINT_LEAFLET_CSS ${BRELVINT_LEAFLET_DIR}/leaflet.css)
foreach(part ${BRELVINT_LEAFLET_JS} ${BRELVINT_LEAFLET_CSS})
  if(NOT EXISTS ${part})
    message(FATAL_ERROR "${part} is missing: the status page is built with Leaflet from "
                        "Debian's libjs-leaflet (bash scripts/deps.sh installs it), or set "
                        "BRELVINT_LEAFLET_DIR to a folder holding leaflet.min.js and leaflet.css.")
  endif()
endforeach()

set(BRELVINT_STATUS_ASSETS
    kStatusPageHtml ${BRELVINT_STATUS_PAGE_DIR}/StatusPage.html
    kStatusPageScript ${BRELVINT_STATUS_PAGE_DIR}/StatusPage.js
    kStatusPageStyle ${BRELVINT_STATUS_PAGE_DIR}/StatusPage.css
    kLeafletScript ${BRELVINT_LEAFLET_JS}
    kLeafletStyle ${BRELVINT_LEAFLET_CSS})

set(BRELVINT_STATUS_ASSET_TEXT "")
set(BRELVINT_STATUS_ASSET_FILES "")
list(LENGTH BRELVINT_STATUS_ASSETS asset_items)
math(EXPR asset_last "${asset_items} - 1")
foreach(i RANGE 0 ${asset_last} 2)
  math(EXPR j "${i} + 1")
  list(GET BRELVINT_STATUS_ASSETS ${i} name)
  list(GET BRELVINT_STATUS_ASSETS ${j} file)
  list(APPEND BRELVINT_STATUS_ASSET_FILES ${file})
  file(READ ${file} text)
  # The source map line goes: the browser would ask this server for a map it does not have.
  string(REGEX REPLACE "[/][/*]# sourceMappingURL=[^\n]*" "" text "${text}")
  # Each is one C++ raw string: nothing in it may end that string.
  string(FIND "${text}" ")asset\"" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${file} holds )asset\" and cannot be built in.")
  endif()
  string(APPEND BRELVINT_STATUS_ASSET_TEXT
         "inline constexpr char ${name}[] = R\"asset(${text})asset\";\n")
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BRELVINT_STATUS_ASSET_FILES})

# ISO C++ only promises string literals of 65536 characters; GCC and Clang take
# far longer ones, so the pedantic warning is silenced for these.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/service/StatusPageAsset.h @ONLY CONTENT
"#pragma once
// Made by CMake (cmake/StatusPage.cmake) from src/service/StatusPage.* and Leaflet.
namespace brelvint {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored \"-Woverlength-strings\"
@BRELVINT_STATUS_ASSET_TEXT@#pragma GCC diagnostic pop
}  // namespace brelvint
")
