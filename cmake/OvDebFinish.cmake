# OvDebFinish.cmake - run by CPack after it has built the Debian packages
# (CPACK_POST_BUILD_SCRIPTS, set in OvPackaging.cmake), for what CPack's DEB
# generator cannot express:
#
#   CPACK_OV_MULTIARCH_SAME      packages that get "Multi-Arch: same", so that
#                                the library of several architectures can be
#                                installed side by side
#   CPACK_OV_LDCONFIG_TRIGGER    packages that activate the ldconfig trigger
#                                (their "triggers" control file) and so lose
#                                the postinst and postrm that CPack writes for
#                                every package with a shared library in the
#                                loader's directories. Those scripts run
#                                ldconfig once per package instead of once per
#                                dpkg run, and a postrm keeps a removed
#                                package in state "rc" until it is purged.
#
# Each package named is unpacked with dpkg-deb, changed and built again, its
# files owned by root as CPack builds them. A script that holds anything but
# CPack's ldconfig call stops the packaging: it was written on purpose.

foreach(variable CPACK_OV_MULTIARCH_SAME CPACK_OV_LDCONFIG_TRIGGER)
  if(NOT DEFINED ${variable})
    set(${variable} "")
  endif()
endforeach()

find_program(OV_DPKG_DEB dpkg-deb)
if(NOT OV_DPKG_DEB)
  message(FATAL_ERROR "dpkg-deb is needed to finish the Debian packages")
endif()

# The scripts CPack writes: ldconfig after configuring and after removing.
set(_ov_cpack_script_postinst "#!/bin/sh\n\nset -e\n\nif [ \"$1\" = \"configure\" ]; then\n\tldconfig\nfi\n")
set(_ov_cpack_script_postrm "#!/bin/sh\n\nset -e\n\nif [ \"$1\" = \"remove\" ]; then\n\tldconfig\nfi\n")

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND ${OV_DPKG_DEB} --field ${deb} Package
    OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(multiarch_same OFF)
  set(ldconfig_trigger OFF)
  if(package IN_LIST CPACK_OV_MULTIARCH_SAME)
    set(multiarch_same ON)
  endif()
  if(package IN_LIST CPACK_OV_LDCONFIG_TRIGGER)
    set(ldconfig_trigger ON)
  endif()
  if(NOT multiarch_same AND NOT ldconfig_trigger)
    continue()
  endif()

  get_filename_component(scratch ${deb} DIRECTORY)
  set(scratch ${scratch}/_ov_deb_finish)
  set(work ${scratch}/${package})
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  execute_process(COMMAND ${OV_DPKG_DEB} --raw-extract ${deb} ${work} COMMAND_ERROR_IS_FATAL ANY)

  if(multiarch_same)
    file(READ ${work}/DEBIAN/control control)
    if(control MATCHES "(^|\n)Multi-Arch:")
      message(FATAL_ERROR "${package} already has a Multi-Arch field")
    endif()
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control "${control}")
    file(WRITE ${work}/DEBIAN/control "${control}")
  endif()

  if(ldconfig_trigger)
    if(NOT EXISTS ${work}/DEBIAN/triggers)
      message(FATAL_ERROR "${package} is to use the ldconfig trigger but has no triggers file")
    endif()
    foreach(script postinst postrm)
      if(EXISTS ${work}/DEBIAN/${script})
        file(READ ${work}/DEBIAN/${script} text)
        if(NOT text STREQUAL _ov_cpack_script_${script})
          message(FATAL_ERROR "${package}: its ${script} does more than CPack's ldconfig call:\n${text}")
        endif()
        file(REMOVE ${work}/DEBIAN/${script})
      endif()
    endforeach()
  endif()

  execute_process(COMMAND ${OV_DPKG_DEB} --root-owner-group --build ${work} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${scratch})
  message(STATUS "${package}: finished (Multi-Arch: same ${multiarch_same}, ldconfig trigger ${ldconfig_trigger})")
endforeach()
