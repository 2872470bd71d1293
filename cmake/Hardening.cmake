# Debian's hardening flags for every target of the build, so the package
# (scripts/package.sh, and the package the debian_package test makes from
# the test build) holds the same binaries the tests ran: stack protector,
# format checks, _FORTIFY_SOURCE, RELRO with immediate binding, stack clash
# and control-flow protection.
#
# The flags come from dpkg-buildflags with every hardening feature on, as a
# Debian package build gets them. Its -g and -O flags are left to the build
# type, and its -ffile-prefix-map names the folder it was asked from, which
# is not the build's. Debian 12's dpkg-buildflags has no stack-clash or
# control-flow feature yet (dpkg 1.22 adds them as "stackclash" and
# "branch"), so their flags are added here when missing.

find_program(BRELVINT_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT BRELVINT_DPKG_BUILDFLAGS)
  message(FATAL_ERROR "dpkg-buildflags is missing: the hardened build takes its flags from "
                      "Debian's dpkg-dev (bash scripts/deps.sh installs it), or configure "
                      "with -DBRELVINT_HARDENING=OFF.")
endif()

function(brelvint_buildflags variable out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${BRELVINT_DPKG_BUILDFLAGS} --get ${variable}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-g|^-O|^-ffile-prefix-map=")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

brelvint_buildflags(CXXFLAGS BRELVINT_HARDENING_COMPILE)
brelvint_buildflags(CPPFLAGS BRELVINT_HARDENING_PREPROCESS)
brelvint_buildflags(LDFLAGS BRELVINT_HARDENING_LINK)

foreach(flag -fstack-clash-protection -fcf-protection)
  if(NOT flag IN_LIST BRELVINT_HARDENING_COMPILE)
    list(APPEND BRELVINT_HARDENING_COMPILE ${flag})
  endif()
endforeach()

# _FORTIFY_SOURCE needs the optimiser (a Debug build at -O0 would warn on
# every file) and does not mix with the sanitizers, which check the same
# calls their own way. A compiler that defines it already is overridden, not
# warned about.
list(FILTER BRELVINT_HARDENING_PREPROCESS EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
if(NOT BRELVINT_SANITIZE AND NOT BRELVINT_FUZZ)
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
add_compile_options(${BRELVINT_HARDENING_COMPILE} ${BRELVINT_HARDENING_PREPROCESS})
add_link_options(${BRELVINT_HARDENING_LINK})

# Debian 12's own start files (Scrt1.o, crti.o, crtn.o) carry no CET note,
# so the linker would drop the marking -fcf-protection gives every object of
# ours. Shadow stacks suit those files (plain calls and returns); their
# _init and _fini lack the ENDBR64 that indirect-branch tracking asks for,
# which matters only where a kernel enforces that tracking for user
# programs, and Linux does not.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  add_link_options(LINKER:-z,ibt LINKER:-z,shstk)
endif()
