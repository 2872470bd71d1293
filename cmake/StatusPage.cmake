# Builds generated/service/StatusPageAsset.h: the status page with Leaflet's
# script and style sheet written into it, so the executable serves the whole
# page itself and needs neither the network nor libjs-leaflet at run time.

set(BRELVINT_STATUS_PAGE ${CMAKE_SOURCE_DIR}/src/service/StatusPage.html)
set(BRELVINT_LEAFLET_DIR /usr/share/javascript/leaflet CACHE PATH
    "Folder of Debian's libjs-leaflet, taken into the status page")
set(BRELVINT_LEAFLET_JS ${BRELVINT_LEAFLET_DIR}/leaflet.min.js)
set(BRELVINT_LEAFLET_CSS ${BRELVINT_LEAFLET_DIR}/leaflet.css)
foreach(part ${BRELVINT_LEAFLET_JS} ${BRELVINT_LEAFLET_CSS})
  if(NOT EXISTS ${part})
    message(FATAL_ERROR "${part} is missing: the status page is built with Leaflet from "
                        "Debian's libjs-leaflet (bash scripts/deps.sh installs it), or set "
                        "BRELVINT_LEAFLET_DIR to a folder holding leaflet.min.js and leaflet.css.")
  endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${BRELVINT_STATUS_PAGE} ${BRELVINT_LEAFLET_JS} ${BRELVINT_LEAFLET_CSS})

# An inlined script or style sheet must not end its own element early.
function(brelvint_check_inlined text name)
  string(TOLOWER "${text}" lower)
  foreach(closing "</script" "</style")
    string(FIND "${lower}" "${closing}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${name} holds ${closing} and cannot be written inline into the page.")
    endif()
  endforeach()
endfunction()

# Replaces the placeholder comment in the page with a file's text. The source
# map line goes: the browser would ask this server for a map it does not have.
function(brelvint_inline page_variable placeholder file)
  file(READ ${file} text)
  string(REGEX REPLACE "[/][/*]# sourceMappingURL=[^\n]*" "" text "${text}")
  brelvint_check_inlined("${text}" ${file})
  string(FIND "${${page_variable}}" "${placeholder}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${BRELVINT_STATUS_PAGE} lacks the placeholder ${placeholder}.")
  endif()
  string(REPLACE "${placeholder}" "${text}" page "${${page_variable}}")
  set(${page_variable} "${page}" PARENT_SCOPE)
endfunction()

file(READ ${BRELVINT_STATUS_PAGE} BRELVINT_STATUS_PAGE_TEXT)
brelvint_inline(BRELVINT_STATUS_PAGE_TEXT "/* leaflet.css */" ${BRELVINT_LEAFLET_CSS})
brelvint_inline(BRELVINT_STATUS_PAGE_TEXT "/* leaflet.js */" ${BRELVINT_LEAFLET_JS})
# The page is one C++ raw string: nothing in it may end that string.
string(FIND "${BRELVINT_STATUS_PAGE_TEXT}" ")page\"" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "The status page with Leaflet holds )page\" and cannot be built in.")
endif()
# ISO C++ only promises string literals of 65536 characters; GCC and Clang take
# far longer ones, so the pedantic warning is silenced for this one.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/service/StatusPageAsset.h @ONLY CONTENT
"#pragma once
// Made by CMake (cmake/StatusPage.cmake) from src/service/StatusPage.html and Leaflet.
namespace brelvint {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored \"-Woverlength-strings\"
inline constexpr char kStatusPageHtml[] = R\"page(@BRELVINT_STATUS_PAGE_TEXT@)page\";
#pragma GCC diagnostic pop
}  // namespace brelvint
")
