# OvPackaging.cmake - the Debian packages, built with CPack (`make package`).
#
# Included once from the top-level CMakeLists.txt. Four packages come from
# four install components:
#
#   ovlockfile          component tools: ovlockfile, ovlockrun, their
#                       manual pages and their bash completion
#   ovlockrun-etcd      component etcd: ovlockrun's etcd backend, the helper
#                       program ovlockrun-etcd under libexec (with
#                       OV_WITH_ETCD). It alone loads libcurl, so that users
#                       who take only file locks need not install it.
#   libovplatform4      component runtime: the shared library and its SONAME
#                       link (the package name carries the SONAME's number)
#   libovplatform-dev   component development: the headers, the static
#                       library, the libovplatform.so link, the pkg-config
#                       file and the CMake package
#
# Each package carries, under /usr/share/doc/PACKAGE, its copyright file and
# the changelog (packaging/changelog, compressed). The packages are native:
# they are made by the project itself, so the version has no Debian revision
# and the changelog is changelog.gz, not changelog.Debian.gz.
#
# The tools package does not depend on libovplatform4. The tools are linked
# against the static library (ov_tool_link in the top-level CMakeLists.txt),
# and by default carry libuuid and the C++ runtime inside too, so that they
# load only the C library: a lock tool's start-up is paid by every script
# that calls it, and a tool that loads nothing but the C library starts in
# about two thirds of the time. The package keeps that measured design. Its
# usual price, a library fix that the tools miss, does not arise: the three
# packages are built from one source tree at one version, so a fix reaches
# the tools in the same release.
# dpkg-shlibdeps reads what the tools do load and names its packages, so a
# build with OV_DYNAMIC_TOOL=ON gets libuuid1 (and whatever else they load)
# in its dependencies.
#
# Files installed without a component (CMake calls them "Unspecified") go
# into the tools package rather than into a package of their own, and
# tests/package checks every package's file list.
#
# CPack is included at the end of the top-level directory, when every
# directory has declared its install rules: it reads the list of components
# once, when it is included.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ovplatform)
set(CPACK_PACKAGE_VENDOR "the ovplatform developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(OV_PACKAGE_MAINTAINER "ovplatform developers <maintainers@ovplatform.invalid>"
  CACHE STRING "The Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${OV_PACKAGE_MAINTAINER}")
# Packages go below /usr whatever prefix the build was configured for; a
# build for them (`make package`) is configured with the prefix /usr, which
# gives the multiarch library directory.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Every package is built from one source, whose changelog this is.
set(CPACK_DEBIAN_PACKAGE_SOURCE ${PROJECT_NAME})
set(OV_DEB_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/changelog)

set(OV_DEB_RUNTIME libovplatform${PROJECT_VERSION_MAJOR})

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ovlockfile)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "advisory lock files for shell scripts and commands
ovlockfile holds a lock file on behalf of a shell script: a forked worker
keeps the lock fresh and releases it on SIGHUP or when the script exits.
ovlockrun runs a command while it holds the lock, and stops the command if
the lock is lost. Both judge a lock's age by the file system's own clock, so
hosts that share a network file system agree on which locks are stale.")

set(CPACK_DEBIAN_ETCD_PACKAGE_NAME ovlockrun-etcd)
set(CPACK_DEBIAN_ETCD_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_ETCD_PACKAGE_SHLIBDEPS ON)
# ovlockrun execs the helper; the helper is nothing without it.
set(CPACK_DEBIAN_ETCD_PACKAGE_DEPENDS "ovlockfile (= ${PROJECT_VERSION})")
# The helper is run by ovlockrun only; the override tells lintian why it
# has no manual page of its own.
set(OV_DEB_ETCD_LINTIAN_OVERRIDES ${PROJECT_SOURCE_DIR}/packaging/ovlockrun-etcd.lintian-overrides)
set(CPACK_DEBIAN_ETCD_DESCRIPTION "locks on an etcd cluster for ovlockrun
With this package, ovlockrun --endpoints URL NAME COMMAND runs COMMAND while
it holds the lock NAME on an etcd cluster, with etcd's own lock recipe: it
excludes etcdctl lock on the same name, keeps its lease alive while the
command runs, stops the command when the lock is lost, and gives it a fencing
value that grows from holder to holder. It is the helper program that
ovlockrun runs for such locks, kept apart so that file locks never need the
HTTP and TLS libraries it loads.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${OV_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# A shlibs file, so that packages built against the library depend on this
# version or a later one, and a symbols file (below), which dpkg-shlibdeps
# prefers: it names, for each exported symbol, the version that introduced
# it, so that a program depends on the oldest version that has what it calls.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The loader's cache is updated by libc's ldconfig trigger, which the
# triggers file activates; cmake/OvDebFinish.cmake removes the postinst and
# postrm that CPack writes to call ldconfig.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Linux platform library with a C API
ovplatform gives C and C++ programs error codes, logging, files,
directories, paths, user, group and host identity, process control,
threads, synchronisation, time, strings, identifiers and advisory lock
files that hold across hosts sharing a network file system.
.
This package contains the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libovplatform-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${OV_DEB_RUNTIME} (= ${PROJECT_VERSION}), uuid-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Linux platform library with a C API (development files)
ovplatform gives C and C++ programs error codes, logging, files,
directories, paths, user, group and host identity, process control,
threads, synchronisation, time, strings, identifiers and advisory lock
files that hold across hosts sharing a network file system.
.
This package contains the headers, the static library, the pkg-config
file and the CMake package (find_package(ovplatform)).")

# The copyright file of each package. The licence is the repository's
# LICENSE file once there is one.
set(OV_LICENSE_FILE ${PROJECT_SOURCE_DIR}/LICENSE)
if(EXISTS ${OV_LICENSE_FILE})
  file(READ ${OV_LICENSE_FILE} _ov_license)
  string(STRIP "${_ov_license}" _ov_license)
  # Continuation lines of a field begin with a space; an empty one is " .".
  string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" _ov_license "${_ov_license}")
  string(REPLACE "\n" "\n " _ov_license "other\n${_ov_license}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${OV_LICENSE_FILE})
else()
  set(_ov_license "other
 All rights reserved. The ovplatform developers have not published licence
 terms for this software.")
endif()
set(_ov_copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ovplatform

Files: *
Copyright: 2026 the ovplatform developers
License: ${_ov_license}
")
# The tools carry libuuid inside unless they are linked dynamically, and its
# licence asks for its notice to travel with the binaries.
set(_ov_tools_copyright "${_ov_copyright}")
if(NOT OV_DYNAMIC_TOOL AND OV_UUID_ARCHIVE)
  string(APPEND _ov_tools_copyright "
Files: libuuid/*
Copyright: 1996, 1997, 1998, 1999, 2007 Theodore Ts'o.
           1999 Andreas Dilger (adilger@enel.ucalgary.ca)
License: BSD-3-clause
Comment: libuuid, from util-linux, is linked into the programs of this
 package.

License: BSD-3-clause
 Redistribution and use in source and binary forms, with or without
 modification, are permitted provided that the following conditions are met:
 .
 1) Redistributions of source code must retain the above copyright notice,
 this list of conditions and the following disclaimer.
 .
 2) Redistributions in binary form must reproduce the above copyright notice,
 this list of conditions and the following disclaimer in the documentation
 and/or other materials provided with the distribution.
 .
 3) Neither the name of the ORGANIZATION nor the names of its contributors
 may be used to endorse or promote products derived from this software
 without specific prior written permission.
 .
 THIS SOFTWARE IS PROVIDED BY THE COPYRIGHT HOLDERS AND CONTRIBUTORS \"AS IS\"
 AND ANY EXPRESS OR IMPLIED WARRANTIES, INCLUDING, BUT NOT LIMITED TO, THE
 IMPLIED WARRANTIES OF MERCHANTABILITY AND FITNESS FOR A PARTICULAR PURPOSE
 ARE DISCLAIMED. IN NO EVENT SHALL THE COPYRIGHT HOLDER OR CONTRIBUTORS BE
 LIABLE FOR ANY DIRECT, INDIRECT, INCIDENTAL, SPECIAL, EXEMPLARY, OR
 CONSEQUENTIAL DAMAGES (INCLUDING, BUT NOT LIMITED TO, PROCUREMENT OF
 SUBSTITUTE GOODS OR SERVICES; LOSS OF USE, DATA, OR PROFITS; OR BUSINESS
 INTERRUPTION) HOWEVER CAUSED AND ON ANY THEORY OF LIABILITY, WHETHER IN
 CONTRACT, STRICT LIABILITY, OR TORT (INCLUDING NEGLIGENCE OR OTHERWISE)
 ARISING IN ANY WAY OUT OF THE USE OF THIS SOFTWARE, EVEN IF ADVISED OF THE
 POSSIBILITY OF SUCH DAMAGE.
")
endif()

# The changelog, compressed as Debian ships it: -n leaves the name and time
# out of the header, so that it is the same bytes in every build and on every
# architecture (which Multi-Arch: same requires of a shared file).
find_program(OV_GZIP gzip)
mark_as_advanced(OV_GZIP)
set(_ov_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
if(OV_GZIP)
  add_custom_command(OUTPUT ${_ov_changelog_gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${OV_DEB_CHANGELOG} ${PROJECT_BINARY_DIR}/packaging/changelog
    COMMAND ${OV_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/packaging/changelog
    DEPENDS ${OV_DEB_CHANGELOG}
    COMMENT "Compressing the packages' changelog"
    VERBATIM)
  add_custom_target(ov_deb_changelog ALL DEPENDS ${_ov_changelog_gz})
else()
  message(WARNING "gzip was not found: the Debian packages will lack their changelog")
endif()

# Installed only into the packages: a plain `cmake --install` leaves out
# these files, which belong to a Debian package's documentation directory.
set(_ov_components tools runtime development)
if(OV_WITH_ETCD)
  list(APPEND _ov_components etcd)
endif()
foreach(component ${_ov_components})
  string(TOUPPER ${component} _ov_upper)
  set(_ov_package ${CPACK_DEBIAN_${_ov_upper}_PACKAGE_NAME})
  set(_ov_text "${_ov_copyright}")
  if(component STREQUAL tools)
    set(_ov_text "${_ov_tools_copyright}")
  endif()
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/${_ov_package}/copyright "${_ov_text}")
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${_ov_package}/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_ov_package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  if(OV_GZIP)
    install(FILES ${_ov_changelog_gz}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_ov_package}
      COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endforeach()
if(OV_WITH_ETCD)
  install(FILES ${OV_DEB_ETCD_LINTIAN_OVERRIDES}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${CPACK_DEBIAN_ETCD_PACKAGE_NAME}
    COMPONENT etcd EXCLUDE_FROM_ALL)
endif()

# The runtime package's symbols file: the one kept in packaging/ (which
# `make abi-baseline` brings up to date), to which dpkg-gensymbols adds any
# symbol that the library exports beyond it, with this version as the one
# that introduced it. A symbol the file lists but the library no longer
# exports is left out; the ABI check (abi/) fails on such a library.
set(OV_DEB_SYMBOLS ${PROJECT_SOURCE_DIR}/packaging/${OV_DEB_RUNTIME}.symbols)
find_program(OV_DPKG_GENSYMBOLS dpkg-gensymbols)
mark_as_advanced(OV_DPKG_GENSYMBOLS)
if(OV_DPKG_GENSYMBOLS AND EXISTS ${OV_DEB_SYMBOLS})
  set(_ov_symbols ${PROJECT_BINARY_DIR}/packaging/${OV_DEB_RUNTIME}/symbols)
  add_custom_command(OUTPUT ${_ov_symbols}
    COMMAND ${OV_DPKG_GENSYMBOLS} -p${OV_DEB_RUNTIME} -v${PROJECT_VERSION} -I${OV_DEB_SYMBOLS}
      -e$<TARGET_FILE:ovplatform_shared> -O${_ov_symbols} -c0 -q
    DEPENDS ovplatform_shared ${OV_DEB_SYMBOLS}
    COMMENT "Writing the symbols file of ${OV_DEB_RUNTIME}"
    VERBATIM)
  add_custom_target(ov_deb_symbols ALL DEPENDS ${_ov_symbols})
  list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_ov_symbols})
else()
  message(STATUS "No dpkg-gensymbols or no ${OV_DEB_SYMBOLS}: ${OV_DEB_RUNTIME} gets no symbols file")
endif()

# What CPack cannot write, cmake/OvDebFinish.cmake adds to the finished
# packages. The library packages are Multi-Arch: same where the library is in
# the architecture's own directory (a build for /usr on a multiarch system):
# headers and documentation are the same on every architecture, everything
# else is below lib/<triplet>.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/OvDebFinish.cmake)
set(CPACK_OV_LDCONFIG_TRIGGER ${OV_DEB_RUNTIME})
set(CPACK_OV_MULTIARCH_SAME "")
if(CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_LIBDIR STREQUAL "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  set(CPACK_OV_MULTIARCH_SAME ${OV_DEB_RUNTIME} ${CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME})
endif()

# ---- libovplatform-doc: the reference manual -----------------------------------------------
# A fifth package, beside the four above.
# Component doc (docs/CMakeLists.txt): the HTML that the docs target builds,
# under share/doc/libovplatform-doc/html. It exists when Doxygen was found;
# the packaging flow builds the docs target before CPack runs. The same
# pages serve every architecture, so the package is "all".
if(OV_DOCS)
  set(CPACK_DEBIAN_DOC_PACKAGE_NAME libovplatform-doc)
  set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
  set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_DOC_DESCRIPTION "Linux platform library with a C API (reference manual)
ovplatform gives C and C++ programs error codes, logging, files,
directories, paths, user, group and host identity, process control,
threads, synchronisation, time, strings, identifiers and advisory lock
files that hold across hosts sharing a network file system.
.
This package contains the reference manual in HTML: every function, type
and constant of the C API, one page per area, and a getting-started page.")
  set(_ov_doc_dir ${PROJECT_BINARY_DIR}/packaging/libovplatform-doc)
  file(WRITE ${_ov_doc_dir}/copyright "${_ov_copyright}")
  # The package's version has no Debian revision (a native package), so its
  # change log is changelog.gz, compressed without a name or time in its
  # header. Its date is that of the build, or SOURCE_DATE_EPOCH's.
  string(TIMESTAMP _ov_doc_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${_ov_doc_dir}/changelog "libovplatform-doc (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${OV_PACKAGE_MAINTAINER}  ${_ov_doc_date}
")
  find_program(OV_DOC_GZIP gzip)
  mark_as_advanced(OV_DOC_GZIP)
  if(OV_DOC_GZIP)
    execute_process(COMMAND ${OV_DOC_GZIP} -9 -n -c ${_ov_doc_dir}/changelog
      OUTPUT_FILE ${_ov_doc_dir}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${_ov_doc_dir}/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libovplatform-doc COMPONENT doc EXCLUDE_FROM_ALL)
  endif()
  install(FILES ${_ov_doc_dir}/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libovplatform-doc COMPONENT doc EXCLUDE_FROM_ALL)
  # The manual's registration with the system's documentation index.
  file(WRITE ${_ov_doc_dir}/libovplatform-doc.ovplatform-reference "Document: ovplatform-reference
Title: ovplatform reference manual
Author: the ovplatform developers
Abstract: The C API of the ovplatform library: every function, type and
 constant, one page per area, and a getting-started page.
Section: Programming/C

Format: HTML
Index: /usr/share/doc/libovplatform-doc/html/index.html
Files: /usr/share/doc/libovplatform-doc/html/*.html
")
  install(FILES ${_ov_doc_dir}/libovplatform-doc.ovplatform-reference
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc-base COMPONENT doc EXCLUDE_FROM_ALL)
endif()

function(_ov_packaging_finish)
  include(CPack)
  # Each group is one package. The tools' group also takes whatever was
  # installed without a component.
  cpack_add_component_group(tools)
  cpack_add_component(tools GROUP tools)
  cpack_add_component(Unspecified GROUP tools HIDDEN)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _ov_packaging_finish)
